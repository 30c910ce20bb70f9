// Layer 1, readers of outside bytes: a bundle (one .tar.gz of --bundle)
// told, unpacked into a private folder laid out as a log root, and its
// window read from its manifest.  Its layout is shared with the writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/stat.h>
#include <sys/types.h>

#include "common/oam_tar.h"

inline constexpr char BUNDLE_MANIFEST[] = "manifest.json";
inline constexpr char BUNDLE_STATS[] = "stats.txt";
inline constexpr char BUNDLE_JOURNAL[] = "oam_events";
inline constexpr char BUNDLE_MEMDUMP[] = "memdump";
inline constexpr char BUNDLE_INI[] = "ini";
// What a bundle may hold, and so all that is ever unpacked: the top-level
// files and one level of these folders, plain names only.
inline constexpr const char *BUNDLE_TOP[] = {BUNDLE_MANIFEST, BUNDLE_STATS, BUNDLE_JOURNAL, "oam_events.1"};
inline constexpr const char *BUNDLE_DIRS[] = {"wifi_log", "bfg_log", "me_log", BUNDLE_MEMDUMP, BUNDLE_INI};
inline constexpr size_t BUNDLE_MEMBER_MAX = 4096;
// A member's size stays within the header's 32 bits; the whole unpacked
// bundle within this, whatever the gzip stream would inflate to.
inline constexpr uint64_t BUNDLE_UNPACK_MAX = 16ULL << 30;
// Whole files (archives, context, settings) are read into memory to be
// hashed and checked unchanged before they are written.
inline constexpr off_t BUNDLE_WHOLE_MAX = 1LL << 30;
inline constexpr size_t BUNDLE_COPY_LEN = 65536;

inline uint64_t tar_padded(uint64_t size)
{
    return (size + OAM_TAR_BLOCK - 1) / OAM_TAR_BLOCK * OAM_TAR_BLOCK;
}

// A file's mode and time as a bundle's tar header keeps them.
struct bundle_stat {
    uint32_t mode;
    int64_t mtime;
};
bundle_stat bundle_stat_of(const struct stat &st);
// Reads a file whole, never through a link nor from a FIFO or device: 0,
// or -1 with *why.  A file that changes while read is read once more,
// then left out.
int bundle_read_whole(const std::string &path, bool one_name, std::string *data, std::string *why,
                      bundle_stat *st = nullptr);

// A member name of a bundle: a known top-level file, or a plain name in one
// of the known folders; never "..", a leading '/', or a deeper path.
bool oamlog_bundle_name_ok(const std::string &name);
// A file that starts as a gzip stream: read as a bundle.
bool oamlog_is_bundle(const std::string &path);
// Unpacks a bundle into a new private folder laid out as a log root, which
// is removed at the exit.  Members that are damaged or not a bundle's are
// reported and left out; one that does not match the manifest is reported.
int oamlog_bundle_open(const std::string &bundle, std::string *root);
// The name a file of the unpacked bundle is shown under.
std::string oamlog_bundle_shown(const std::string &path);
// Of a bundle written for a dump: the window its manifest gives (since and
// until as written, "" when none) and the unpacked context kept with it
// ("" when none); false for any other bundle.  Read so, it shows what
// --dump showed where written.
bool oamlog_bundle_window_text(std::string *context, std::string *since, std::string *until);
void oamlog_bundle_remove();
