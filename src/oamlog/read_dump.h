// Layer 1, readers of outside bytes: dump archives (their names and tar
// members) and the context file kept beside each.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "oamlog/read_file.h"

// An archive's dump type and the time in its name (a local key):
// "readm_wifi_sdio_2026_12_09_10_02_03.tar.gz" -> "readm_wifi_sdio", key.
bool oamlog_archive_name(const std::string &name, std::string *type, uint64_t *key);
// Named as the daemon names a dump archive.
bool oamlog_is_dump_archive(const std::string &path);

// What reading an archive back found.
struct oamlog_tar_state {
    unsigned members;
    unsigned damaged_at;  // the member whose header is damaged, 0 none
    bool gzip;
    bool complete;        // ends in a zero block, the gzip stream whole
};
oamlog_tar_state oamlog_tar_members(const std::string &path);

// The context file kept beside a dump archive (given by name under root's
// memdump folder, or by path).
std::string oamlog_context_path(const std::string &root, const std::string &archive);
// --dump: a core's records come from the context where its log files no
// longer reach back to them; the journal lines it keeps are handed to
// take_events.  Cores: those asked for (all when empty).
void oamlog_context_apply(const std::string &path, const std::vector<std::string> &cores,
                          std::vector<oamlog_source> *sources,
                          void (*take_events)(const std::string &path, const std::string &text));
