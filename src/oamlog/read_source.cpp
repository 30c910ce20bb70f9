// Finding a core's files, reading them oldest first, and following the
// newest one across rotations.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <memory>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/oam_file.h"
#include "oamlog/read_cursor.h"
#include "oamlog/read_source.h"
#include "oamlog/read_zst.h"
#include "oamlog/reader_status.h"
#include "common/oam_record_parse.h"
#include "common/oam_driver.h"

namespace {

constexpr size_t OAMLOG_READ_LEN = 65536;

struct oamlog_core_dir {
    const char *core;
    std::string_view dir;  // below the log root
    const char *prefix;
};

// The daemon's default directories, taken below its log root.
constexpr std::string_view OAMLOG_ROOT = OAM_LOG_ROOT_DIR;
constexpr std::array<oamlog_core_dir, 3> OAMLOG_CORES = {{
    {"wifi", std::string_view(OAM_WIFI_LOG_DIR).substr(OAMLOG_ROOT.size()), OAM_WIFI_LOG_PREFIX},
    {"bfg", std::string_view(OAM_BFG_LOG_DIR).substr(OAMLOG_ROOT.size()), OAM_BFG_LOG_PREFIX},
    {"me", std::string_view(OAM_ME_LOG_DIR).substr(OAMLOG_ROOT.size()), OAM_ME_LOG_PREFIX},
}};

struct oamlog_dir_closer {
    void operator()(DIR *dir) const { (void)closedir(dir); }
};
using oamlog_dir_handle = std::unique_ptr<DIR, oamlog_dir_closer>;

bool oamlog_is_dir(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string oamlog_base_name(const std::string &path)
{
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') {
        p.pop_back();
    }
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

// The numbered files of prefix in dir, by number.
std::vector<std::pair<int, std::string>> oamlog_list_numbered(const std::string &dir, const char *prefix)
{
    std::vector<std::pair<int, std::string>> found;
    oamlog_dir_handle d(opendir(dir.c_str()));
    if (!d) {
        return found;
    }
    for (const dirent *ent = readdir(d.get()); ent != nullptr; ent = readdir(d.get())) {
        const int n = oamlog_file_number(ent->d_name, prefix);
        if (n > 0) {
            found.emplace_back(n, dir + ent->d_name);
        }
    }
    std::sort(found.begin(), found.end());
    // A file and its compressed copy (before the daemon removes the file)
    // are one: the plain one, which sorts first.  A compressed file of
    // other bytes beside it (left so by older builds) is history of its
    // own, read before it.
    const auto copy = [](const auto &a, const auto &b) {
        struct stat st {};
        const int plain = a.first == b.first ? oam_open_regular(a.second.c_str(), O_RDONLY | O_NOCTTY, 0, &st) : -1;
        const int zst = plain >= 0 ? oam_open_regular(b.second.c_str(), O_RDONLY | O_NOCTTY, 0, &st) : -1;
        const bool same = zst >= 0 && oamlog_zst_same(zst, plain);
        for (const int fd : {plain, zst}) {
            if (fd >= 0) {
                (void)close(fd);
            }
        }
        return same;
    };
    found.erase(std::unique(found.begin(), found.end(), copy), found.end());
    return found;
}

// Opens a file of the source; one that cannot be read is reported (unless
// quiet) and left out.
bool oamlog_open_one(oamlog_file *f, bool quiet = false)
{
    // A FIFO or a device under a log file's name must not hold the reader.
    struct stat st {};
    f->fd = oam_open_regular(f->path.c_str(), O_RDONLY | O_NOCTTY, 0, &st);
    // Listed plain, compressed since: the same records under the new name.
    if (f->fd == -1 && errno == ENOENT && f->number > 0 && !oamlog_zst_name(f->path)) {
        f->fd = oam_open_regular((f->path + ".zst").c_str(), O_RDONLY | O_NOCTTY, 0, &st);
        if (f->fd >= 0) {
            f->path += ".zst";
        }
    }
    if (f->fd < 0) {
        if (!quiet) {
            oamlog_error("%s: %s", oamlog_name_text(f->path.c_str()).c_str(),
                         f->fd == -2 ? "not a regular file" : strerror(errno));
        }
        f->fd = -1;
        return false;
    }
    f->dev = st.st_dev;
    f->ino = st.st_ino;
    return true;
}

void oamlog_add_numbered(oamlog_source *src, const std::string &core, const std::string &dir, const char *prefix)
{
    src->core = core;
    src->dir = dir;
    src->prefix = prefix;
    const auto found = oamlog_list_numbered(dir, prefix);
    // The highest number is the oldest file.
    for (auto it = found.rbegin(); it != found.rend(); ++it) {
        struct stat st {};
        if (stat(it->second.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            continue;  // a directory under a log file's name is none
        }
        src->files.push_back({it->second, it->first, -1, 0, 0});
    }
}

const char *oamlog_damage_text(const oam_record_item &item)
{
    switch (item.damage) {
    case OAM_DAMAGE_MARKER:
        return "bad marker";
    case OAM_DAMAGE_LENGTH:
        return "record length out of range";
    case OAM_DAMAGE_CUT_SHORT:
        return item.len < static_cast<size_t>(OAM_RECORD_HDR_LEN) ? "record header cut short"
                                                                  : "record cut short at the end of the file";
    case OAM_DAMAGE_STAMP:
        return "time fields out of range";
    case OAM_DAMAGE_FRAME:
        return "no record lines up behind its length";
    }
    return "damage";
}

void oamlog_report(oamlog_source *src, const oam_record_item &item, bool kept)
{
    ++src->damaged;
    if (src->quiet) {
        return;
    }
    const uint8_t *at = src->buf.data() + item.pos;
    const size_t avail = src->buf.size() - item.pos;
    char detail[96] = "";
    if (item.damage == OAM_DAMAGE_MARKER) {
        (void)snprintf(detail, sizeof(detail), " (%02x %02x)", at[0], avail > 1 ? at[1] : 0);
    } else if (item.damage == OAM_DAMAGE_LENGTH || item.damage == OAM_DAMAGE_FRAME) {
        (void)snprintf(detail, sizeof(detail), " (%u)", oam_record_len(at));
    } else if (item.damage == OAM_DAMAGE_STAMP) {
        uint16_t s[OAM_STAMP_FIELDS];
        for (int f = 0; f < OAM_STAMP_FIELDS; ++f) {
            s[f] = oam_stamp_field(at, f);
        }
        (void)snprintf(detail, sizeof(detail), " (%u-%u-%u %u:%u:%u.%u)", s[0], s[1], s[2], s[3], s[4], s[5],
                       s[6]);
    }
    oamlog_spot spot;
    spot.file = src->files[src->cur].path;
    spot.offset = src->buf_off + item.pos;
    spot.skipped = kept ? 0 : item.len;
    spot.cause = std::string(oamlog_damage_text(item)) + detail;
    spot.outcome = kept ? "record kept" : std::to_string(item.len) + " bytes skipped";
    oamlog_damage(spot);
}

// Reads more of the current file behind what the buffer holds.  After a
// wait at the end of a followed file, the bytes behind its last whole record
// are read again: the daemon's start-up trim may have cut them off and
// appended other records since.  A file cut back below its whole records
// read is read again from the start.
void oamlog_fill(oamlog_source *src)
{
    const oamlog_file &f = src->files[src->cur];
    src->buf_off += src->pos;
    src->buf.erase(src->buf.begin(),
                   src->buf.begin() + static_cast<std::ptrdiff_t>(src->recheck ? src->buf.size() : src->pos));
    src->pos = 0;
    struct stat st {};
    const bool zst = oamlog_zst_name(f.path);
    if (src->recheck && !zst && fstat(f.fd, &st) == 0 && static_cast<uint64_t>(st.st_size) < src->buf_off) {
        (void)fprintf(stderr, "oamlog: %s: cut back below the %llu bytes read; reading it again from the start\n",
                      oamlog_name_text(f.path.c_str()).c_str(), static_cast<unsigned long long>(src->buf_off));
        src->buf_off = 0;
        src->files[src->cur].head_known = false;
    }
    src->recheck = false;
    const size_t have = src->buf.size();
    const uint64_t from = src->buf_off + have;
    const size_t want = from >= f.end ? 0 : static_cast<size_t>(std::min<uint64_t>(OAMLOG_READ_LEN, f.end - from));
    src->buf.resize(have + want);
    ssize_t n = 0;
    if (zst) {
        n = want == 0 ? 0 : static_cast<ssize_t>(oamlog_zst_read(src, src->buf.data() + have, want, from));
    } else {
        while (want > 0 && (n = pread(f.fd, src->buf.data() + have, want, static_cast<off_t>(from))) < 0 &&
               errno == EINTR) {
        }
    }
    if (n < 0) {
        oamlog_error("%s: %s", oamlog_name_text(f.path.c_str()).c_str(), strerror(errno));
        n = 0;
    }
    src->buf.resize(have + static_cast<size_t>(n));
    src->at_eof = n == 0;
}

void oamlog_next_file(oamlog_source *src)
{
    oamlog_file &f = src->files[src->cur];
    // A counting pass shares the descriptors of the pass that prints.
    if (!src->quiet && f.fd >= 0) {
        (void)close(f.fd);
        f.fd = -1;
    }
    ++src->cur;
    src->buf.clear();
    src->buf_off = src->cur < src->files.size() ? src->files[src->cur].begin : 0;
    src->pos = 0;
    src->at_eof = false;
    src->recheck = false;
}

}  // namespace

int oamlog_file_number(const char *name, const char *prefix)
{
    // The daemon formats the number with %d from 1 up: no sign, no leading
    // zero, nothing behind it but the ".zst" of a compressed file (one
    // still being written ends in ".tmp").
    const size_t plen = strlen(prefix);
    if (strncmp(name, prefix, plen) != 0) {
        return 0;
    }
    const char *digits = name + plen;
    if (digits[0] < '1' || digits[0] > '9') {
        return 0;
    }
    const size_t len = strlen(digits);
    const char *end = len > 4 && strcmp(digits + len - 4, ".zst") == 0 ? digits + len - 4 : digits + len;
    long n = 0;
    for (const char *c = digits; c != end; ++c) {
        if (*c < '0' || *c > '9' || n > 100000000) {
            return 0;
        }
        n = n * 10 + (*c - '0');
    }
    return static_cast<int>(n);
}

int oamlog_add_root(std::vector<oamlog_source> *out, const std::string &root, const std::vector<std::string> &cores,
                    bool follow)
{
    if (!oamlog_is_dir(root)) {
        oamlog_error("%s: %s (use --root DIR for a copied log folder)", oamlog_name_text(root.c_str()).c_str(),
                     access(root.c_str(), F_OK) == 0 ? "not a folder" : strerror(ENOENT));
        return -1;
    }
    const std::string base = root.back() == '/' ? root : root + "/";
    for (const oamlog_core_dir &c : OAMLOG_CORES) {
        const bool asked = std::find(cores.begin(), cores.end(), c.core) != cores.end();
        if (!cores.empty() && !asked) {
            continue;
        }
        const std::string dir = base + std::string(c.dir);
        // A follow waits for the folders the daemon has yet to make.
        if (!follow && !oamlog_is_dir(dir)) {
            // A chip without an me core, or a copy of one core's folder only.
            if (asked) {
                oamlog_error("%s: no %s log folder", oamlog_name_text(dir.c_str()).c_str(), c.core);
                return -1;
            }
            continue;
        }
        oamlog_source src{};
        oamlog_add_numbered(&src, c.core, dir, c.prefix);
        out->push_back(std::move(src));
    }
    return 0;
}

int oamlog_add_path(std::vector<oamlog_source> *out, const std::string &path, bool follow, const char *file_core)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        oamlog_error("%s: %s", oamlog_name_text(path.c_str()).c_str(), strerror(errno));
        return -1;
    }
    const std::string name = oamlog_base_name(path);
    if (S_ISDIR(st.st_mode)) {
        const std::string dir = path.back() == '/' ? path : path + "/";
        for (const oamlog_core_dir &c : OAMLOG_CORES) {
            if (oamlog_is_dir(dir + std::string(c.dir))) {
                return oamlog_add_root(out, path, {}, follow);
            }
        }
        // A core's folder: its name tells the core, else its files do (a
        // folder configured in the INI file, or a copy).
        oamlog_source src{};
        for (const oamlog_core_dir &c : OAMLOG_CORES) {
            if (name + "/" == c.dir) {
                oamlog_add_numbered(&src, c.core, dir, c.prefix);
                out->push_back(std::move(src));
                return 0;
            }
        }
        if (!oamlog_list_numbered(dir, OAM_WIFI_LOG_PREFIX).empty()) {
            oamlog_add_numbered(&src, "wifi", dir, OAM_WIFI_LOG_PREFIX);
        } else {
            oamlog_add_numbered(&src, "bfg", dir, OAM_BFG_LOG_PREFIX);
        }
        out->push_back(std::move(src));
        return 0;
    }
    // One file: it joins the source of its core in the same folder.
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "./" : path.substr(0, slash + 1);
    std::string core = name;
    const char *prefix = nullptr;
    int number = 0;
    if ((number = oamlog_file_number(name.c_str(), OAM_WIFI_LOG_PREFIX)) > 0) {
        core = "wifi";
        prefix = OAM_WIFI_LOG_PREFIX;
    } else if ((number = oamlog_file_number(name.c_str(), OAM_BFG_LOG_PREFIX)) > 0) {
        core = oamlog_base_name(dir) + "/" == OAMLOG_CORES[2].dir ? "me" : "bfg";
        prefix = OAM_BFG_LOG_PREFIX;
    }
    if (file_core != nullptr) {
        core = file_core;
    }
    oamlog_source *src = nullptr;
    for (oamlog_source &s : *out) {
        if (s.folder == dir && s.core == core) {
            src = &s;
        }
    }
    if (src == nullptr) {
        out->push_back({});
        src = &out->back();
        src->core = core;
        src->folder = dir;
    }
    // With file 1 among them, the core's files can be followed across rotations.
    if (number == 1) {
        src->dir = dir;
        src->prefix = prefix;
    }
    src->files.push_back({path, number, -1, 0, 0});
    // Oldest first: the highest number first, files of other names last.
    std::stable_sort(src->files.begin(), src->files.end(), [](const oamlog_file &a, const oamlog_file &b) {
        if ((a.number == 0) != (b.number == 0)) {
            return a.number != 0;
        }
        return a.number > b.number;
    });
    return 0;
}

void oamlog_open_files(oamlog_source *src)
{
    std::vector<oamlog_file> opened;
    for (oamlog_file &f : src->files) {
        if (oamlog_open_one(&f)) {
            opened.push_back(f);
        }
    }
    src->files = std::move(opened);
}

void oamlog_drop_repeats(std::vector<oamlog_source> *sources)
{
    // A file named twice (x and ./x, a folder and its root) is read once;
    // a folder named twice is followed once.
    std::vector<std::pair<dev_t, ino_t>> files;
    std::vector<std::pair<dev_t, ino_t>> dirs;
    const auto seen = [](std::vector<std::pair<dev_t, ino_t>> *set, dev_t dev, ino_t ino) {
        const bool was = std::find(set->begin(), set->end(), std::make_pair(dev, ino)) != set->end();
        if (!was) {
            set->emplace_back(dev, ino);
        }
        return was;
    };
    for (oamlog_source &src : *sources) {
        struct stat st {};
        if (!src.dir.empty() && stat(src.dir.c_str(), &st) == 0 && seen(&dirs, st.st_dev, st.st_ino)) {
            src.dir.clear();
        }
        std::erase_if(src.files, [&](const oamlog_file &f) {
            const bool again = seen(&files, f.dev, f.ino);
            if (again) {
                (void)close(f.fd);
            }
            return again;
        });
    }
    std::erase_if(*sources, [](const oamlog_source &src) { return src.files.empty() && src.dir.empty(); });
}

void oamlog_follow_rotation(oamlog_source *src)
{
    if (src->dir.empty()) {
        return;
    }
    // The daemon may rotate again while the files are looked at: take them
    // only when every one opened is the file that was listed under its
    // number, else look again.
    constexpr int attempts = 8;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        std::vector<oamlog_file> listed;
        for (const auto &[n, path] : oamlog_list_numbered(src->dir, src->prefix.c_str())) {
            struct stat st {};
            if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
                listed.push_back({path, n, -1, st.st_dev, st.st_ino});
            }
        }
        if (listed.empty() || listed.front().number != 1) {
            return;  // between the renaming and the new file 1
        }
        // The newest file read moved up: the files in front of it are newer.
        // A folder followed from empty has only new files.  When the file
        // is gone, the writer outran this reader by more than the file
        // count and dropped it (it is read on to its end all the same):
        // every file there is newer, and those rotated out between are lost.
        size_t newer = listed.size();
        if (!src->files.empty()) {
            const oamlog_file &last = src->files.back();
            if (listed.front().dev == last.dev && listed.front().ino == last.ino) {
                return;
            }
            bool found = false;
            for (size_t i = 0; i < listed.size(); ++i) {
                if (listed[i].dev == last.dev && listed[i].ino == last.ino) {
                    newer = i;
                    found = true;
                }
            }
            // Compressed since it was read, the file has a new inode: it is
            // the compressed file that holds its bytes.
            for (size_t i = 0; i < listed.size() && !found && last.fd >= 0; ++i) {
                oamlog_file f = listed[i];
                if (oamlog_zst_name(f.path) && oamlog_open_one(&f, true)) {
                    found = f.dev == listed[i].dev && f.ino == listed[i].ino && oamlog_zst_same(f.fd, last.fd);
                    newer = found ? i : newer;
                    (void)close(f.fd);
                }
            }
            // A listing taken while files are renamed may miss one.
            if (!found && attempt + 1 < attempts) {
                continue;
            }
            if (!found) {
                (void)fprintf(stderr,
                              "oamlog: %s: left the folder before this reader got to the next file; going on "
                              "with the %zu files there, files rotated out in between are lost\n",
                              oamlog_name_text(last.path.c_str()).c_str(), listed.size());
            }
        }
        bool gap = false;
        for (size_t i = 0; i < newer; ++i) {
            gap = gap || listed[i].number != static_cast<int>(i) + 1;
        }
        if (gap && attempt + 1 < attempts) {
            continue;
        }
        std::vector<oamlog_file> opened;
        bool moved = false;
        for (size_t i = newer; i-- > 0 && !moved;) {
            oamlog_file f = listed[i];
            moved = !oamlog_open_one(&f, true) || f.dev != listed[i].dev || f.ino != listed[i].ino;
            if (f.fd >= 0) {
                opened.push_back(f);
            }
        }
        if (!moved) {
            src->files.insert(src->files.end(), opened.begin(), opened.end());
            return;
        }
        for (const oamlog_file &f : opened) {
            (void)close(f.fd);
        }
    }
}

int oamlog_next(oamlog_source *src, oamlog_rec *rec)
{
    while (src->cur < src->files.size()) {
        // A compressed file is whole: it is read to its end, never waited on.
        const bool newest = src->cur + 1 == src->files.size() && !oamlog_zst_name(src->files[src->cur].path);
        const bool final = !(src->live && newest) && src->at_eof;
        const oam_record_item item = oam_record_parse_next(src->buf.data(), src->buf.size(), src->pos, final);
        if (item.kind == OAM_ITEM_RECORD) {
            const uint8_t *at = src->buf.data() + item.pos;
            if (!item.stamp_ok) {
                oamlog_report(src, item, true);
            }
            rec->data = at + OAM_RECORD_HDR_LEN;
            rec->data_len = item.len - OAM_RECORD_HDR_LEN;
            rec->rec_len = item.len;
            for (int f = 0; f < OAM_STAMP_FIELDS; ++f) {
                rec->stamp[f] = oam_stamp_field(at, f);
            }
            rec->stamp_ok = item.stamp_ok;
            rec->core = src->core.c_str();
            rec->file = src->files[src->cur].path.c_str();
            rec->offset = src->buf_off + item.pos;
            oamlog_file &f = src->files[src->cur];
            if (!f.head_known) {
                f.head = oamlog_hash(at, item.len);
                f.head_known = true;
            }
            rec->head = f.head;
            src->pos += item.len;
            ++src->records;
            return 1;
        }
        if (item.kind == OAM_ITEM_DAMAGE) {
            oamlog_report(src, item, false);
            src->pos += item.len;
            continue;
        }
        if (item.kind == OAM_ITEM_MORE && !src->at_eof) {
            oamlog_fill(src);
            continue;
        }
        if (item.kind == OAM_ITEM_MORE && src->live && newest) {
            src->at_eof = false;  // look again when the file has changed
            src->recheck = true;
            return 0;
        }
        oamlog_next_file(src);
    }
    return src->live ? 0 : -1;
}

