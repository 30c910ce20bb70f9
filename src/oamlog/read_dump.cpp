// The context kept beside a dump archive: the records and events of the
// seconds before the dump, for when the log files have rotated past them.
#include <algorithm>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zlib.h>

#include "common/oam_context.h"
#include "common/oam_tar.h"
#include "common/oam_file.h"
#include "oamlog/read_dump.h"
#include "oamlog/read_source.h"
#include "oamlog/read_stamp.h"
#include "oamlog/reader_status.h"

namespace {

constexpr char OAMLOG_CONTEXT_TITLE[] = "oam dump context: ";
constexpr uint64_t OAMLOG_CONTEXT_EVENTS_MAX = 4 << 20;

// The header line at off (its '\n' included), or "" when none is there.
std::string oamlog_context_line(int fd, uint64_t off)
{
    char buf[OAM_CONTEXT_LINE_LEN];
    ssize_t n;
    do {
        n = pread(fd, buf, sizeof(buf) - 1, static_cast<off_t>(off));
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        return {};
    }
    const char *nl = static_cast<const char *>(memchr(buf, '\n', static_cast<size_t>(n)));
    if (nl == nullptr || memchr(buf, '\0', static_cast<size_t>(nl - buf)) != nullptr) {
        return {};
    }
    return std::string(buf, static_cast<size_t>(nl - buf + 1));
}

// The stamp of the oldest record the core's log files hold, as a local key
// (oamlog_stamp_key): the context's header keeps local stamps; 0 when none.
uint64_t oamlog_oldest_local(const oamlog_source &src)
{
    oamlog_source copy = src;
    copy.quiet = true;
    copy.live = false;
    oamlog_rec rec {};
    if (oamlog_next(&copy, &rec) <= 0) {
        return 0;
    }
    return rec.stamp_ok ? oamlog_stamp_key(rec.stamp) : copy.last_local;
}

}  // namespace

std::string oamlog_context_path(const std::string &root, const std::string &archive)
{
    const std::string gz = ".tar.gz";
    if (archive.size() <= gz.size() || archive.compare(archive.size() - gz.size(), gz.size(), gz) != 0) {
        return {};
    }
    const std::string base = archive.substr(0, archive.size() - gz.size()) + OAM_CONTEXT_SUFFIX;
    if (base.find('/') != std::string::npos) {
        return base;
    }
    return (root.empty() || root.back() == '/' ? root : root + "/") + "memdump/" + base;
}

void oamlog_context_apply(const std::string &path, const std::vector<std::string> &cores,
                          std::vector<oamlog_source> *sources,
                          void (*take_events)(const std::string &path, const std::string &text))
{
    if (path.empty()) {
        return;
    }
    struct stat st {};
    const int fd = oam_open_regular(path.c_str(), O_RDONLY | O_NOFOLLOW, 0, &st);
    if (fd < 0) {
        return;  // none kept: the log files are all there is
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    const std::string name = oamlog_name_text(path.c_str());
    std::string line = oamlog_context_line(fd, 0);
    if (line.rfind(OAMLOG_CONTEXT_TITLE, 0) != 0) {
        (void)fprintf(stderr, "oamlog: %s: not a dump context; not read\n", name.c_str());
        (void)close(fd);
        return;
    }
    uint64_t off = line.size();
    while (off < size) {
        line = oamlog_context_line(fd, off);
        oam_context_section sec {};
        unsigned long long lines = 0;
        unsigned long long bytes = 0;
        int used = 0;
        const uint64_t body = off + line.size();
        if (!line.empty() && oam_context_parse(line.c_str(), &sec) && sec.bytes <= size - body) {
            off = body + sec.bytes;
            const bool asked = cores.empty() || std::find(cores.begin(), cores.end(), sec.core) != cores.end();
            if (!asked || sec.records == 0) {
                continue;
            }
            auto src = std::find_if(sources->begin(), sources->end(),
                                    [&sec](const oamlog_source &s) { return s.core == sec.core; });
            const uint64_t oldest = src == sources->end() ? 0 : oamlog_oldest_local(*src);
            if (oldest != 0 && oldest <= oamlog_stamp_key(sec.first)) {
                continue;  // the log files still reach back to the window
            }
            if (src == sources->end()) {
                sources->push_back({});
                src = sources->end() - 1;
                src->core = sec.core;
            }
            for (const oamlog_file &f : src->files) {
                (void)close(f.fd);
            }
            // A descriptor of its own: a source closes its file when done.
            const int section_fd = dup(fd);
            src->files.clear();
            src->dir.clear();
            if (section_fd >= 0) {
                src->files.push_back({path, 0, section_fd, st.st_dev, st.st_ino, body, body + sec.bytes});
                src->buf_off = body;
            }
        } else if (!line.empty() && sscanf(line.c_str(), "events: %llu lines, %llu bytes\n%n", &lines, &bytes, &used) == 2 &&
                   static_cast<size_t>(used) == line.size() && bytes <= size - body &&
                   bytes <= OAMLOG_CONTEXT_EVENTS_MAX) {
            std::string text(static_cast<size_t>(bytes), '\0');
            ssize_t n;
            do {
                n = pread(fd, text.data(), text.size(), static_cast<off_t>(body));
            } while (n < 0 && errno == EINTR);
            text.resize(n > 0 ? static_cast<size_t>(n) : 0);
            take_events(path, text);
            off = body + bytes;
        } else {
            oamlog_spot spot;
            spot.file = path;
            spot.offset = off;
            spot.skipped = size - off;
            spot.cause = "no section header";
            spot.outcome = "the rest is not read";
            oamlog_damage(spot);
            break;
        }
    }
    (void)close(fd);
}

namespace {

constexpr size_t OAMLOG_TAR_BLOCK = 512;

bool oamlog_tar_header_ok(const unsigned char *block)
{
    return oam_tar_header_ok(block);
}

// Members and completeness of a .tar.gz: each header's checksum is
// checked and its size skipped; a complete archive ends in a zero block
// and its gzip stream reads to its end without error.
}  // namespace

// An archive's dump type and the time in its name:
// "readm_wifi_sdio_2026_12_09_10_02_03.tar.gz" -> "readm_wifi_sdio", key.
bool oamlog_archive_name(const std::string &name, std::string *type, uint64_t *key)
{
    const std::string base = name.substr(name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1);
    constexpr size_t date_len = 19;  // YYYY_MM_DD_HH_MM_SS
    size_t end = base.find(".tar.gz");
    // A renumbered archive carries its number in front of the suffix.
    const size_t dot = end == std::string::npos ? end : base.rfind('.', end - 1);
    if (dot != std::string::npos && dot + 1 < end &&
        std::all_of(base.begin() + static_cast<long>(dot) + 1, base.begin() + static_cast<long>(end),
                    [](char c) { return c >= '0' && c <= '9'; })) {
        end = dot;
    }
    if (end == std::string::npos || end < date_len + 1 || base[end - date_len - 1] != '_') {
        return false;
    }
    uint16_t s[OAM_STAMP_FIELDS] = {};
    if (sscanf(base.c_str() + end - date_len, "%4hu_%2hu_%2hu_%2hu_%2hu_%2hu", &s[0], &s[1], &s[2], &s[3], &s[4],
               &s[5]) != 6 ||
        !oamlog_fields_ok(s)) {
        return false;
    }
    *type = base.substr(0, end - date_len - 1);
    *key = oamlog_stamp_key(s);
    return true;
}

oamlog_tar_state oamlog_tar_members(const std::string &path)
{
    oamlog_tar_state state{0, 0, false, false};
    // The name was a plain file when listed; it may have been replaced
    // since by a link to something endless.
    struct stat st {};
    const int fd = oam_open_regular(path.c_str(), O_RDONLY | O_NOFOLLOW, 0, &st);
    if (fd < 0) {
        return state;
    }
    // zlib reads a file without the gzip magic as it is: a plain tar.
    unsigned char magic[2] = {};
    state.gzip = pread(fd, magic, sizeof(magic), 0) == 2 && magic[0] == 0x1F && magic[1] == 0x8B;
    gzFile gz = state.gzip ? gzdopen(fd, "rb") : nullptr;
    if (gz == nullptr) {
        (void)close(fd);
        return state;
    }
    unsigned char block[OAMLOG_TAR_BLOCK];
    for (;;) {
        if (gzread(gz, block, sizeof(block)) != static_cast<int>(sizeof(block))) {
            break;
        }
        if (std::all_of(block, block + sizeof(block), [](unsigned char c) { return c == 0; })) {
            while (gzread(gz, block, sizeof(block)) > 0) {
            }
            int err = Z_OK;
            (void)gzerror(gz, &err);
            state.complete = err == Z_OK;
            break;
        }
        if (!oamlog_tar_header_ok(block)) {
            state.damaged_at = state.members + 1;
            break;
        }
        char size_field[13] = {};
        memcpy(size_field, block + 124, 12);
        const unsigned long long size = strtoull(size_field, nullptr, 8);
        ++state.members;
        const unsigned long long skip = (size + OAMLOG_TAR_BLOCK - 1) / OAMLOG_TAR_BLOCK * OAMLOG_TAR_BLOCK;
        if (skip > 0 && gzseek(gz, static_cast<z_off_t>(skip), SEEK_CUR) < 0) {
            break;
        }
    }
    (void)gzclose(gz);
    return state;
}

bool oamlog_is_dump_archive(const std::string &path)
{
    std::string type;
    uint64_t key = 0;
    return oamlog_archive_name(path, &type, &key);
}

