// Bundles: everything known of a window of time (records, events, dump
// archives, settings) in one .tar.gz to hand over, and such a file read back
// as a log root.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "common/oam_driver.h"
#include "common/oam_file.h"
#include "common/oam_tar.h"
#include "oamlog/read_bundle.h"
#include "oamlog/read_dump.h"
#include "oamlog/read_sha256.h"
#include "oamlog/reader_status.h"

namespace {

bool bundle_name_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.';
}

}  // namespace

int bundle_read_whole(const std::string &path, bool one_name, std::string *data, std::string *why,
                      bundle_stat *st)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        struct stat before {};
        const int fd = oam_open_regular(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY, 0, &before);
        if (fd < 0) {
            *why = fd == -2 ? "not a regular file" : errno == ELOOP ? "a link" : strerror(errno);
            return -1;
        }
        // A second name of the file may lie anywhere on the storage.
        if (one_name && before.st_nlink != 1) {
            (void)close(fd);
            *why = "a link";
            return -1;
        }
        if (before.st_size > BUNDLE_WHOLE_MAX) {
            (void)close(fd);
            *why = "larger than a member holds";
            return -1;
        }
        data->clear();
        char buf[BUNDLE_COPY_LEN];
        ssize_t n;
        while ((n = read(fd, buf, sizeof(buf))) > 0 || (n < 0 && errno == EINTR)) {
            if (n > 0) {
                data->append(buf, static_cast<size_t>(n));
            }
            if (static_cast<off_t>(data->size()) > before.st_size) {
                break;
            }
        }
        struct stat after {};
        const bool same = n >= 0 && fstat(fd, &after) == 0 && after.st_size == before.st_size &&
                          static_cast<off_t>(data->size()) == before.st_size &&
                          after.st_mtim.tv_sec == before.st_mtim.tv_sec &&
                          after.st_mtim.tv_nsec == before.st_mtim.tv_nsec &&
                          after.st_ctim.tv_sec == before.st_ctim.tv_sec && after.st_ctim.tv_nsec == before.st_ctim.tv_nsec;
        (void)close(fd);
        if (same) {
            if (st != nullptr) {
                *st = bundle_stat_of(before);
            }
            return 0;
        }
        *why = n < 0 ? strerror(errno) : "changed while read";
    }
    return -1;
}

bundle_stat bundle_stat_of(const struct stat &st)
{
    return {static_cast<uint32_t>(st.st_mode), static_cast<int64_t>(st.st_mtim.tv_sec)};
}

// A member name of a bundle: a known top-level file, or a plain name in one
// of the known folders; never "..", a leading '/', or a deeper path.
bool oamlog_bundle_name_ok(const std::string &name)
{
    if (name.empty() || name.size() > OAM_TAR_NAME_MAX) {
        return false;
    }
    if (std::any_of(std::begin(BUNDLE_TOP), std::end(BUNDLE_TOP), [&name](const char *n) { return name == n; })) {
        return true;
    }
    const size_t slash = name.find('/');
    if (slash == std::string::npos ||
        std::none_of(std::begin(BUNDLE_DIRS), std::end(BUNDLE_DIRS),
                     [&name, slash](const char *d) { return name.compare(0, slash, d) == 0 && d[slash] == '\0'; })) {
        return false;
    }
    const std::string base = name.substr(slash + 1);
    return !base.empty() && base[0] != '.' && std::all_of(base.begin(), base.end(), bundle_name_char);
}

namespace {

std::string g_bundle_dir;
std::string g_bundle_path;
// Everything unpacked, removed at the exit; room is kept so that the list
// never moves while a signal may read it.
std::vector<std::string> g_bundle_made;
bool g_bundle_broken;  // the stream broke: what it lost was said once
// The window the bundle was written for, as its manifest tells it.
std::string g_bundle_window;

struct bundle_unpacked {
    std::string name;
    uint64_t size;
    std::string sha256;
};

// Anything but a sound bundle ends with a status that says so.
void bundle_damage(const std::string &what)
{
    if (g_oamlog_status == OAMLOG_OK) {
        g_oamlog_status = OAMLOG_DAMAGED;
    }
    oamlog_spot spot;
    spot.file = g_bundle_path;
    spot.cause = what;
    oamlog_damage(spot);
}

void bundle_remove_all()
{
    for (auto it = g_bundle_made.rbegin(); it != g_bundle_made.rend(); ++it) {
        if (unlink(it->c_str()) != 0) {
            (void)rmdir(it->c_str());
        }
    }
    if (!g_bundle_dir.empty()) {
        (void)rmdir(g_bundle_dir.c_str());
    }
}

void bundle_on_signal(int sig)
{
    bundle_remove_all();
    (void)signal(sig, SIG_DFL);
    (void)raise(sig);
}

// A tar size field: octal digits, padded with spaces or NULs.
bool bundle_size_field(const uint8_t *field, uint64_t *size)
{
    constexpr size_t len = 12;
    uint64_t v = 0;
    size_t i = 0;
    while (i < len && field[i] == ' ') {
        ++i;
    }
    const size_t first = i;
    for (; i < len && field[i] >= '0' && field[i] <= '7'; ++i) {
        v = v * 8 + (field[i] - '0');
    }
    const size_t digits = i - first;
    for (; i < len; ++i) {
        if (field[i] != ' ' && field[i] != '\0') {
            return false;  // and a binary size (a leading 0x80) is none of ours either
        }
    }
    *size = v;
    return digits > 0;
}

enum bundle_pass { BUNDLE_WHOLE, BUNDLE_CUT, BUNDLE_NO_ROOM };

// Passes over n bytes of the stream, the first keep of them into out_fd.
bundle_pass bundle_skip(gzFile gz, uint64_t n, int out_fd, oamlog_sha256 *sha, uint64_t keep)
{
    uint8_t buf[BUNDLE_COPY_LEN];
    for (uint64_t done = 0; done < n;) {
        const auto want = static_cast<unsigned>(std::min<uint64_t>(n - done, sizeof(buf)));
        const int got = gzread(gz, buf, want);
        if (got <= 0) {
            return BUNDLE_CUT;
        }
        const size_t data =
            done < keep ? static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(got), keep - done)) : 0;
        if (out_fd >= 0 && data > 0) {
            oamlog_sha256_update(sha, buf, data);
            if (oam_write_all(out_fd, buf, data) != 0) {
                return BUNDLE_NO_ROOM;
            }
        }
        done += static_cast<uint64_t>(got);
    }
    return BUNDLE_WHOLE;
}

// The gzip stream's own damage (a wrong sum, a broken block), told once
// in place of what it leads to; "" when the stream is sound so far.
std::string bundle_gzip_damage(gzFile gz)
{
    int zerr = Z_OK;
    const char *zmsg = gzerror(gz, &zerr);
    if (zerr == Z_OK || zerr == Z_BUF_ERROR) {
        return "";
    }
    // zlib puts the stream's name (here "<fd:N>") before its words.
    const char *words = zmsg == nullptr ? nullptr : strstr(zmsg, ": ");
    words = words != nullptr ? words + 2 : zmsg;
    return std::string("gzip: ") + (words != nullptr && *words != '\0' ? words : "damaged");
}

// One entry of the manifest's member list at text[at], which is a '{':
// bounded by its own fields, so that a list of anything is read in one pass.
bool bundle_manifest_entry(std::string_view text, size_t at, std::string *name, uint64_t *size, std::string *sha)
{
    constexpr std::string_view name_key = "{\"name\":\"";
    constexpr std::string_view size_key = "\",\"size\":";
    constexpr std::string_view sha_key = ",\"sha256\":\"";
    constexpr size_t sha_len = 64;
    if (text.compare(at, name_key.size(), name_key) != 0) {
        return false;
    }
    at += name_key.size();
    const size_t quote = text.find_first_of("\"", at);
    if (quote == std::string_view::npos || quote == at || quote - at > OAM_TAR_NAME_MAX ||
        text.compare(quote, size_key.size(), size_key) != 0) {
        return false;
    }
    *name = std::string(text.substr(at, quote - at));
    at = quote + size_key.size();
    uint64_t v = 0;
    const size_t digits = at;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9' && at - digits < 19; ++at) {
        v = v * 10 + static_cast<uint64_t>(text[at] - '0');
    }
    if (at == digits || text.compare(at, sha_key.size(), sha_key) != 0) {
        return false;
    }
    at += sha_key.size();
    if (text.size() - at < sha_len + 2 || text.compare(at + sha_len, 2, "\"}") != 0) {
        return false;
    }
    *sha = std::string(text.substr(at, sha_len));
    *size = v;
    return std::all_of(sha->begin(), sha->end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

void bundle_drop(const std::string &name)
{
    (void)unlink((g_bundle_dir + "/" + name).c_str());
}

// The members the manifest lists, each as written.  What it does not
// vouch for is garbage or a stranger: said once and not read.
void bundle_check_manifest(const std::vector<bundle_unpacked> &got)
{
    const auto it = std::find_if(got.begin(), got.end(), [](const bundle_unpacked &u) { return u.name == BUNDLE_MANIFEST; });
    if (it == got.end()) {
        bundle_damage("no manifest; the members are not checked");
        return;
    }
    std::string text;
    std::string why;
    if (it->size > BUNDLE_WHOLE_MAX || bundle_read_whole(g_bundle_dir + "/" + BUNDLE_MANIFEST, true, &text, &why) != 0) {
        bundle_damage("manifest.json: cannot be read; the members are not checked");
        return;
    }
    std::vector<std::string> listed;
    uint64_t missing = 0;
    uint64_t not_understood = 0;
    const size_t list = text.find("\"members\":[");
    if (list == std::string::npos) {
        bundle_damage("manifest.json: no member list; the members are not checked");
        return;
    }
    const size_t window = text.find("\"window\":{");
    g_bundle_window = window < list ? text.substr(window, text.find('}', window) - window) : "";
    // The list is the manifest's last field: each '{' from it on opens an entry.
    for (size_t at = text.find('{', list); at < text.size(); at = text.find('{', at + 1)) {
        std::string name;
        std::string sha;
        uint64_t size = 0;
        if (!bundle_manifest_entry(text, at, &name, &size, &sha)) {
            ++not_understood;
            continue;
        }
        listed.push_back(name);
        const auto m = std::find_if(got.begin(), got.end(), [&name](const bundle_unpacked &u) { return u.name == name; });
        if (m == got.end() && g_bundle_broken) {
            ++missing;  // past the damage told already
        } else if (m == got.end()) {
            bundle_damage(oamlog_name_text(name.c_str()) + ": listed in the manifest, not in the bundle");
        } else if (m->sha256.empty()) {
            bundle_drop(name);  // the one the stream broke in
        } else if (m->size != size || m->sha256 != sha) {
            bundle_damage(oamlog_name_text(name.c_str()) + ": does not match the manifest's size and sha256; left out");
            bundle_drop(name);
        }
    }
    if (not_understood > 0) {
        bundle_damage("manifest.json: " + std::to_string(not_understood) + " member entries not understood");
    }
    if (missing > 0) {
        // Told beside the damage that lost them, not counted again.
        oamlog_spot spot;
        spot.file = g_bundle_path;
        spot.cause = std::to_string(missing) + " members of the manifest lost past the damage";
        spot.counted = false;
        oamlog_damage(spot);
    }
    for (const bundle_unpacked &u : got) {
        if (u.name != BUNDLE_MANIFEST && std::find(listed.begin(), listed.end(), u.name) == listed.end()) {
            bundle_damage(oamlog_name_text(u.name.c_str()) + ": not in the manifest; left out");
            bundle_drop(u.name);
        }
    }
}

// Where the stream broke: its gzip damage when it has one, else that it
// ends there.  Said once; nothing after it is read.
void bundle_broken(gzFile gz, const std::string &where)
{
    g_bundle_broken = true;
    const std::string zdamage = bundle_gzip_damage(gz);
    bundle_damage((zdamage.empty() ? "cut short" : zdamage) + " " + where + "; what came before is read");
}

// Reads the tar stream into the folder; damage is reported, never
// followed: a member of another kind or name is passed over, and a
// damaged header ends the reading.  -1 when the folder takes no more
// (errno tells why): a sound bundle is not to be shown in part.
int bundle_unpack(gzFile gz, std::vector<bundle_unpacked> *got)
{
    uint64_t total = 0;
    for (unsigned n = 1;; ++n) {
        uint8_t block[OAM_TAR_BLOCK];
        const int read = gzread(gz, block, sizeof(block));
        if (read != static_cast<int>(sizeof(block))) {
            bundle_broken(gz, "before member " + std::to_string(n));
            return 0;
        }
        if (std::all_of(block, block + sizeof(block), [](uint8_t c) { return c == 0; })) {
            // Read to the end: only there does gzip check its sum.
            while (gzread(gz, block, sizeof(block)) > 0) {
            }
            const std::string zdamage = bundle_gzip_damage(gz);
            if (!zdamage.empty()) {
                bundle_damage(zdamage + " at the end of the bundle");
            }
            return 0;
        }
        uint64_t size = 0;
        if (!oam_tar_header_ok(block) || !bundle_size_field(block + 124, &size)) {
            bundle_damage("member " + std::to_string(n) + ": damaged header; the rest is not read");
            return 0;
        }
        const std::string name(reinterpret_cast<const char *>(block), strnlen(reinterpret_cast<const char *>(block), 100));
        const char type = static_cast<char>(block[156]);
        // A long name's leading part in the extended header field.
        const bool prefixed = memcmp(block + 257, "ustar", 5) == 0 && block[345] != '\0';
        const bool file = type == '0' || type == '\0';
        const std::string shown = oamlog_name_text(name.c_str());
        std::string why;
        if (type == '5' && !prefixed && size == 0) {
            // a folder: the known ones are made already
        } else if (!file) {
            why = "not a plain file (a link, a device or the like)";
        } else if (prefixed || !oamlog_bundle_name_ok(name)) {
            why = "not a bundle member's name";
        } else if (size > UINT32_MAX || total + size > BUNDLE_UNPACK_MAX || got->size() >= BUNDLE_MEMBER_MAX) {
            why = "larger than a bundle holds";
        }
        int fd = -1;
        if (why.empty() && file) {
            const std::string path = g_bundle_dir + "/" + name;
            fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd < 0 && errno != EEXIST) {
                return -1;
            }
            if (fd < 0) {
                why = "a second member of that name";
            } else {
                g_bundle_made.push_back(path);
            }
        }
        if (!why.empty()) {
            bundle_damage(shown + ": " + why + "; left out");
        }
        oamlog_sha256 sha;
        oamlog_sha256_init(&sha);
        const bundle_pass pass = bundle_skip(gz, tar_padded(size), fd, &sha, size);
        if (fd >= 0) {
            const int err = errno;
            const bool closed = close(fd) == 0;
            if (pass == BUNDLE_NO_ROOM || !closed) {
                errno = pass == BUNDLE_NO_ROOM ? err : errno;
                return -1;
            }
            total += size;
            got->push_back({name, size, pass == BUNDLE_WHOLE ? oamlog_sha256_hex(&sha) : ""});
        }
        if (pass != BUNDLE_WHOLE) {
            bundle_broken(gz, "in " + shown);
            return 0;
        }
    }
}

bool bundle_gzip_magic(int fd)
{
    unsigned char magic[2] = {};
    return pread(fd, magic, sizeof(magic), 0) == 2 && magic[0] == 0x1F && magic[1] == 0x8B;
}

}  // namespace

// A file named as a bundle is taken for one, so that any other content
// fails as what it is not rather than read as a log file.
bool oamlog_is_bundle(const std::string &path)
{
    struct stat st {};
    const int fd = oam_open_regular(path.c_str(), O_RDONLY | O_NOCTTY, 0, &st);
    if (fd < 0) {
        return false;
    }
    const std::string_view name = path;
    const bool gzip = bundle_gzip_magic(fd) || name.ends_with(".tar.gz") || name.ends_with(".tgz");
    (void)close(fd);
    return gzip;
}

int oamlog_bundle_open(const std::string &bundle, std::string *root)
{
    struct stat st {};
    const int fd = oam_open_regular(bundle.c_str(), O_RDONLY | O_NOCTTY, 0, &st);
    if (fd < 0) {
        oamlog_error("%s: %s", oamlog_name_text(bundle.c_str()).c_str(), fd == -2 ? "not a regular file" : strerror(errno));
        return -1;
    }
    if (!bundle_gzip_magic(fd)) {
        oamlog_error("%s: not a bundle: no gzip stream", oamlog_name_text(bundle.c_str()).c_str());
        (void)close(fd);
        return -1;
    }
    gzFile gz = gzdopen(fd, "rb");
    const char *tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr && *tmp == '/' ? tmp : "/tmp") + "/oamlog-bundle.XXXXXX";
    if (gz == nullptr || mkdtemp(dir.data()) == nullptr) {
        oamlog_error("%s: %s", oamlog_name_text(dir.c_str()).c_str(), strerror(errno));
        if (gz != nullptr) {
            (void)gzclose(gz);
        } else {
            (void)close(fd);
        }
        return -1;
    }
    g_bundle_dir = dir;
    g_bundle_path = bundle;
    g_bundle_made.reserve(BUNDLE_MEMBER_MAX + std::size(BUNDLE_DIRS));
    (void)atexit(oamlog_bundle_remove);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        (void)signal(sig, bundle_on_signal);
    }
    g_bundle_broken = false;
    int unpacked = 0;
    for (const char *sub : BUNDLE_DIRS) {
        const std::string path = dir + "/" + sub;
        if (mkdir(path.c_str(), 0700) != 0) {
            unpacked = -1;
            break;
        }
        g_bundle_made.push_back(path);
    }
    std::vector<bundle_unpacked> got;
    unpacked = unpacked != 0 ? unpacked : bundle_unpack(gz, &got);
    const int err = errno;
    (void)gzclose(gz);
    if (unpacked != 0) {
        oamlog_error("%s: %s; the bundle is not read (TMPDIR names another folder)", oamlog_name_text(dir.c_str()).c_str(),
                     strerror(err));
        oamlog_bundle_remove();
        return -1;
    }
    bundle_check_manifest(got);
    *root = dir;
    return 0;
}

namespace {

// A string field of the manifest's window: "" when null or missing.
std::string bundle_window_field(const char *field)
{
    const std::string key = std::string("\"") + field + "\":\"";
    const size_t at = g_bundle_window.find(key);
    if (at == std::string::npos) {
        return "";
    }
    const size_t from = at + key.size();
    const size_t quote = g_bundle_window.find('"', from);
    return quote == std::string::npos ? "" : g_bundle_window.substr(from, quote - from);
}

}  // namespace

bool oamlog_bundle_window_text(std::string *context, std::string *since, std::string *until)
{
    const std::string dump = bundle_window_field("dump");
    if (g_bundle_dir.empty() || dump.empty()) {
        return false;
    }
    *since = bundle_window_field("since");
    *until = bundle_window_field("until");
    // Named as given where written; its context here is that of its name.
    const std::string path = oamlog_context_path(g_bundle_dir, dump.substr(dump.rfind('/') + 1));
    struct stat st {};
    *context = !path.empty() && lstat(path.c_str(), &st) == 0 ? path : "";
    return true;
}

std::string oamlog_bundle_shown(const std::string &path)
{
    const std::string dir = g_bundle_dir + "/";
    if (g_bundle_dir.empty() || path.compare(0, dir.size(), dir) != 0) {
        return path;
    }
    return g_bundle_path + ":" + path.substr(dir.size());
}

void oamlog_bundle_remove()
{
    bundle_remove_all();
    g_bundle_made.clear();
    g_bundle_dir.clear();
}

