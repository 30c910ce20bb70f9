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
#include "oamlog/oamlog.h"

namespace {

constexpr char BUNDLE_MANIFEST[] = "manifest.json";
constexpr char BUNDLE_STATS[] = "stats.txt";
constexpr char BUNDLE_JOURNAL[] = "oam_events";
constexpr char BUNDLE_MEMDUMP[] = "memdump";
constexpr char BUNDLE_INI[] = "ini";
// What a bundle may hold, and so all that is ever unpacked: the top-level
// files and one level of these folders, plain names only.
constexpr const char *BUNDLE_TOP[] = {BUNDLE_MANIFEST, BUNDLE_STATS, BUNDLE_JOURNAL, "oam_events.1"};
constexpr const char *BUNDLE_DIRS[] = {"wifi_log", "bfg_log", "me_log", BUNDLE_MEMDUMP, BUNDLE_INI};
constexpr size_t BUNDLE_MEMBER_MAX = 4096;
// A member's size stays within the header's 32 bits; the whole unpacked
// bundle within this, whatever the gzip stream would inflate to.
constexpr uint64_t BUNDLE_UNPACK_MAX = 16ULL << 30;
// Whole files (archives, context, settings) are read into memory to be
// hashed and checked unchanged before they are written.
constexpr off_t BUNDLE_WHOLE_MAX = 1LL << 30;
// The manifest's room in a --max-size budget.
constexpr uint64_t BUNDLE_MANIFEST_ROOM = 64 * 1024;
constexpr uint64_t MIB = 1024 * 1024;
constexpr size_t BUNDLE_COPY_LEN = 65536;

uint64_t tar_padded(uint64_t size)
{
    return (size + OAM_TAR_BLOCK - 1) / OAM_TAR_BLOCK * OAM_TAR_BLOCK;
}

bool bundle_name_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.';
}

}  // namespace

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

// ---- Writing ----

struct bundle_member {
    std::string name;
    uint64_t size;
    std::string sha256;
};

struct bundle_left_out {
    std::string name;
    std::string why;
};

struct bundle_core {
    std::string core;
    uint64_t records;
    uint64_t bytes;
    uint64_t left_out;  // by --max-size
    uint64_t damaged;
};

// The members go to body, a nameless file beside OUT, while the manifest
// that lists them grows; the manifest then leads the bundle, so that a
// bundle cut short still tells what it held and checks what came.
struct bundle_writer {
    int body;
    bool failed;
    int err;  // of the first failure
    uint64_t written;  // tar bytes
    std::vector<bundle_member> members;
    std::vector<bundle_left_out> left_out;
};

void bundle_leave_out(bundle_writer *w, const std::string &name, const std::string &why)
{
    (void)fprintf(stderr, "oamlog: bundle: %s left out: %s\n", oamlog_name_text(name.c_str()).c_str(),
                  oamlog_name_text(why.c_str()).c_str());
    w->left_out.push_back({name, why});
}

void bundle_put(bundle_writer *w, const void *data, size_t len)
{
    if (len > 0 && !w->failed && oam_write_all(w->body, data, len) != 0) {
        w->failed = true;
        w->err = errno;
    }
}

// A member's mode and time: the file's own, or those of the writing.
struct bundle_stat {
    uint32_t mode;
    int64_t mtime;
};

bundle_stat bundle_made_now()
{
    return {0644, static_cast<int64_t>(time(nullptr))};
}

void bundle_header(uint8_t *block, const std::string &name, uint64_t size, const bundle_stat &st)
{
    oam_tar_header(block, name.c_str(), static_cast<uint32_t>(size), st.mode, st.mtime);
}

// One member from its parts, written in order.
void bundle_add(bundle_writer *w, const std::string &name, const std::vector<std::pair<const void *, size_t>> &parts,
                const bundle_stat &st)
{
    uint64_t size = 0;
    for (const auto &p : parts) {
        size += p.second;
    }
    if (size > UINT32_MAX) {
        bundle_leave_out(w, name, "larger than a member holds");
        return;
    }
    uint8_t block[OAM_TAR_BLOCK] = {};
    bundle_header(block, name, size, st);
    bundle_put(w, block, sizeof(block));
    oamlog_sha256 sha;
    oamlog_sha256_init(&sha);
    for (const auto &p : parts) {
        bundle_put(w, p.first, p.second);
        oamlog_sha256_update(&sha, p.first, p.second);
    }
    const uint8_t zeros[OAM_TAR_BLOCK] = {};
    bundle_put(w, zeros, static_cast<size_t>(tar_padded(size) - size));  // under one block
    w->written += OAM_TAR_BLOCK + tar_padded(size);
    w->members.push_back({name, size, oamlog_sha256_hex(&sha)});
}

void bundle_add(bundle_writer *w, const std::string &name, const std::string &text, const bundle_stat &st)
{
    bundle_add(w, name, {{text.data(), text.size()}}, st);
}

struct bundle_file {
    std::string name;  // the member's
    std::string path;
    std::string data;
    bundle_stat st;
};

bundle_stat bundle_stat_of(const struct stat &st)
{
    return {static_cast<uint32_t>(st.st_mode), static_cast<int64_t>(st.st_mtim.tv_sec)};
}

// Reads a file whole, never through a link nor from a FIFO or device: 0,
// or -1 with *why.  A file that changes while read is read once more,
// then left out.
int bundle_read_whole(const std::string &path, bool one_name, std::string *data, std::string *why,
                      bundle_stat *st = nullptr)
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

void bundle_take_whole(bundle_writer *w, std::vector<bundle_file> *files, const std::string &name,
                       const std::string &path, bool one_name)
{
    bundle_file f{name, path, {}, {}};
    std::string why;
    if (bundle_read_whole(path, one_name, &f.data, &why, &f.st) != 0) {
        bundle_leave_out(w, name, why);
        return;
    }
    files->push_back(std::move(f));
}

// A place on the time line, in UTC.
std::string bundle_stamp(uint64_t key)
{
    char text[40];
    oamlog_utc_text(text, sizeof(text), key, 'T');
    return std::string("\"") + text + "Z\"";
}

// "version V, mode M, chip C, pid N[, boot B, ...]": the value of one field.
std::string bundle_start_field(const std::string &detail, const char *field)
{
    const std::string key = std::string(field) + " ";
    for (size_t at = 0; at < detail.size();) {
        size_t end = detail.find(", ", at);
        end = end == std::string::npos ? detail.size() : end;
        if (detail.compare(at, key.size(), key) == 0) {
            return detail.substr(at + key.size(), end - at - key.size());
        }
        at = end + 2;
    }
    return "";
}

std::string bundle_json_list(const std::vector<std::string> &items)
{
    std::string out = "[";
    for (const std::string &item : items) {
        out += (out.size() > 1 ? "," : "") + oamlog_json_text(item.c_str());
    }
    return out + "]";
}

std::string bundle_zone()
{
    const time_t now = time(nullptr);
    struct tm local {};
    if (localtime_r(&now, &local) == nullptr) {
        return "null";
    }
    const long off = local.tm_gmtoff / 60;
    char text[16];
    (void)snprintf(text, sizeof(text), "\"%c%02ld%02ld\"", off < 0 ? '-' : '+', labs(off) / 60 % 100, labs(off) % 60);
    return text;
}

// The member name of a log file: its folder and name as on the device (a
// compressed file's records are stored plain).
std::string bundle_log_name(const std::string &path)
{
    const size_t slash = path.rfind('/');
    const size_t above = slash == std::string::npos || slash == 0 ? std::string::npos : path.rfind('/', slash - 1);
    std::string name = path.substr(above == std::string::npos ? 0 : above + 1);
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".zst") == 0) {
        name.resize(name.size() - 4);
    }
    return name;
}

// Keeps the files of a source that are plain files of the log root, known
// by that one name, and lists the others as left out.
void bundle_check_files(bundle_writer *w, oamlog_source *src, const std::vector<std::string> &listed)
{
    // A core folder that is a link leads out of the log root.
    struct stat dir_st {};
    const std::string dir = src->dir.size() > 1 && src->dir.back() == '/' ? src->dir.substr(0, src->dir.size() - 1)
                                                                          : src->dir;
    const bool dir_ok = dir.empty() || (lstat(dir.c_str(), &dir_st) == 0 && S_ISDIR(dir_st.st_mode));
    for (const std::string &path : listed) {
        auto it = std::find_if(src->files.begin(), src->files.end(),
                               [&path](const oamlog_file &f) { return f.path == path; });
        struct stat st {};
        const bool plain = dir_ok && lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
                           it != src->files.end() && st.st_dev == it->dev && st.st_ino == it->ino;
        if (plain) {
            continue;
        }
        bundle_leave_out(w, bundle_log_name(path),
                         !dir_ok || S_ISLNK(st.st_mode) || (S_ISREG(st.st_mode) && st.st_nlink != 1) ? "a link"
                                                                                          : "not a regular file");
        if (it != src->files.end()) {
            (void)close(it->fd);
            src->files.erase(it);
        }
    }
}

// The oldest stamp whose records still fit in budget bytes of log members,
// newest first across every core; 0 when all fit.
uint64_t bundle_cut(std::vector<oamlog_source> &sources, uint64_t since, uint64_t until, uint64_t budget)
{
    std::vector<std::pair<uint64_t, uint64_t>> recs;  // key, bytes
    uint64_t files = 0;
    for (const oamlog_source &orig : sources) {
        oamlog_source src = orig;
        src.quiet = true;
        files += src.files.size();
        oamlog_rec rec{};
        while (oamlog_next(&src, &rec) > 0) {
            if (rec.key >= since && rec.key <= until) {
                recs.emplace_back(rec.key, rec.rec_len);
            }
        }
    }
    // Each file's header and padding, however its records are cut.
    const uint64_t room = files * 2 * OAM_TAR_BLOCK;
    budget = budget > room ? budget - room : 0;
    std::sort(recs.begin(), recs.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    uint64_t used = 0;
    for (size_t i = 0; i < recs.size(); ++i) {
        used += recs[i].second;
        if (used > budget) {
            // Records of one millisecond stay together: all of it goes.
            return recs[i].first + 1;
        }
    }
    return 0;
}

void bundle_logs(bundle_writer *w, std::vector<oamlog_source> &sources, uint64_t since, uint64_t until,
                 uint64_t cut, std::vector<bundle_core> *cores)
{
    for (oamlog_source &src : sources) {
        bundle_core row{src.core, 0, 0, 0, 0};
        std::string name;
        bundle_stat file_st{};
        std::vector<uint8_t> bytes;
        const auto flush = [&]() {
            if (!name.empty() && !bytes.empty()) {
                bundle_add(w, name, {{bytes.data(), bytes.size()}}, file_st);
            }
            bytes.clear();
        };
        oamlog_rec rec{};
        const char *file = nullptr;
        while (oamlog_next(&src, &rec) > 0) {
            if (rec.key < since || rec.key > until) {
                continue;
            }
            if (rec.key < cut) {
                ++row.left_out;
                continue;
            }
            if (rec.file != file) {
                flush();
                file = rec.file;
                name = bundle_log_name(rec.file);
                const auto f = std::find_if(src.files.begin(), src.files.end(),
                                            [file](const oamlog_file &of) { return of.path == file; });
                struct stat st {};
                file_st = f != src.files.end() && fstat(f->fd, &st) == 0 ? bundle_stat_of(st) : bundle_made_now();
            }
            const uint8_t *at = rec.data - OAM_RECORD_HDR_LEN;
            bytes.insert(bytes.end(), at, at + rec.rec_len);
            ++row.records;
            row.bytes += rec.rec_len;
        }
        flush();
        row.damaged = src.damaged;
        cores->push_back(row);
    }
}

// starts: the whole journal's events; the losses are those loaded, of the
// window.
std::string bundle_manifest(const bundle_writer &w, const oamlog_bundle_opts &o, const std::vector<bundle_core> &cores,
                            uint64_t cut, const std::vector<oamlog_event> &starts)
{
    std::vector<std::string> chips;
    std::vector<std::string> modes;
    std::vector<std::string> boots;
    for (const oamlog_event &ev : starts) {
        if (ev.core != "oam" || ev.event != "start") {
            continue;
        }
        const std::pair<const char *, std::vector<std::string> *> fields[] = {
            {"chip", &chips}, {"mode", &modes}, {"boot", &boots}};
        for (const auto &[field, list] : fields) {
            const std::string value = bundle_start_field(ev.detail, field);
            if (!value.empty() && std::find(list->begin(), list->end(), value) == list->end()) {
                list->push_back(value);
            }
        }
    }
    std::string m = "{\n";
    m += "\"oamlog\":" + oamlog_json_text(o.version.c_str()) + ",\n";
    m += "\"chips\":" + bundle_json_list(chips) + ",\n";
    m += "\"modes\":" + bundle_json_list(modes) + ",\n";
    m += "\"boots\":" + bundle_json_list(boots) + ",\n";
    m += "\"zone\":" + bundle_zone() + ",\n";
    m += "\"window\":{\"since\":" + (o.since == 0 ? std::string("null") : bundle_stamp(o.since)) +
         ",\"until\":" + (o.until == UINT64_MAX ? std::string("null") : bundle_stamp(o.until)) +
         ",\"dump\":" + (o.dump.empty() ? std::string("null") : oamlog_json_text(o.dump.c_str())) + "},\n";
    m += "\"max_size_mib\":" + (o.max_mib > 0 ? std::to_string(o.max_mib) : std::string("null")) + ",\n";
    m += "\"records_left_out_before\":" + (cut == 0 ? std::string("null") : bundle_stamp(cut)) + ",\n";
    m += "\"cores\":[";
    for (const bundle_core &c : cores) {
        m += std::string(&c == cores.data() ? "\n" : ",\n") + "{\"core\":" + oamlog_json_text(c.core.c_str()) +
             ",\"records\":" + std::to_string(c.records) + ",\"bytes\":" + std::to_string(c.bytes) +
             ",\"records_left_out\":" + std::to_string(c.left_out) +
             ",\"lost\":" + std::to_string(oamlog_journal_lost(c.core, false)) +
             ",\"overruns\":" + std::to_string(oamlog_journal_lost(c.core, true)) +
             ",\"damaged\":" + std::to_string(c.damaged) + "}";
    }
    m += "],\n\"left_out\":[";
    for (const bundle_left_out &l : w.left_out) {
        m += std::string(&l == w.left_out.data() ? "\n" : ",\n") + "{\"name\":" + oamlog_json_text(l.name.c_str()) +
             ",\"why\":" + oamlog_json_text(l.why.c_str()) + "}";
    }
    m += "],\n\"members\":[";
    for (const bundle_member &b : w.members) {
        m += std::string(&b == w.members.data() ? "\n" : ",\n") + "{\"name\":\"" + b.name +
             "\",\"size\":" + std::to_string(b.size) + ",\"sha256\":\"" + b.sha256 + "\"}";
    }
    return m + "]\n}\n";
}

// The dump archives of the window and the context kept beside each.
void bundle_dumps(bundle_writer *w, const oamlog_bundle_opts &o, const std::string &base,
                  std::vector<bundle_file> *files)
{
    const std::string dir = base + BUNDLE_MEMDUMP + "/";
    struct stat dir_st {};
    if (lstat((base + BUNDLE_MEMDUMP).c_str(), &dir_st) == 0 && !S_ISDIR(dir_st.st_mode)) {
        bundle_leave_out(w, BUNDLE_MEMDUMP, "not a folder");
        return;
    }
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        return;
    }
    const std::string wanted = o.dump.substr(o.dump.rfind('/') == std::string::npos ? 0 : o.dump.rfind('/') + 1);
    std::vector<std::string> names;
    for (const dirent *ent = readdir(d); ent != nullptr; ent = readdir(d)) {
        names.emplace_back(ent->d_name);
    }
    (void)closedir(d);
    std::sort(names.begin(), names.end());
    constexpr char suffix[] = ".tar.gz";
    constexpr size_t suffix_len = sizeof(suffix) - 1;
    for (const std::string &name : names) {
        uint64_t reported = 0;
        if (name.size() <= suffix_len || name.compare(name.size() - suffix_len, suffix_len, suffix) != 0 ||
            !oamlog_dump_reported(name, &reported)) {
            continue;
        }
        if (!wanted.empty() ? name != wanted : reported < o.since || reported > o.until) {
            continue;
        }
        const std::string member = std::string(BUNDLE_MEMDUMP) + "/" + name;
        if (!oamlog_bundle_name_ok(member)) {
            bundle_leave_out(w, member, "not a plain name");
            continue;
        }
        bundle_take_whole(w, files, member, dir + name, true);
        const std::string context = name.substr(0, name.size() - suffix_len) + ".context";
        struct stat st {};
        if (lstat((dir + context).c_str(), &st) == 0 || errno != ENOENT) {
            bundle_take_whole(w, files, std::string(BUNDLE_MEMDUMP) + "/" + context, dir + context, true);
        }
    }
}

// The chip's settings file named by its driver, and the customer's.
void bundle_ini(bundle_writer *w, std::vector<bundle_file> *files)
{
    std::string published;
    std::string why;
    if (bundle_read_whole(OAM_INI_PATH_NODE, false, &published, &why) == 0) {
        published = published.substr(0, published.find_first_of(std::string("\n\r\0", 3)));
        while (!published.empty() && (published.back() == ' ' || published.back() == '\t')) {
            published.pop_back();
        }
        const std::string base = published.substr(published.rfind('/') == std::string::npos ? 0 : published.rfind('/') + 1);
        std::string member = std::string(BUNDLE_INI) + "/" + base;
        if (!published.empty() && oamlog_bundle_name_ok(member)) {
            bundle_take_whole(w, files, member, published, false);
        } else if (!published.empty()) {
            bundle_leave_out(w, std::string(BUNDLE_INI) + "/", "the settings file's name is not a plain name");
        }
    }
    struct stat st {};
    if (lstat(OAM_INI_CUST_FILE, &st) == 0) {
        bundle_take_whole(w, files, std::string(BUNDLE_INI) + "/cust_ini_cfg", OAM_INI_CUST_FILE, false);
    }
}

std::string bundle_journal(bundle_writer *w, const std::string &base)
{
    // What is not a plain file of its own is said to be left out; the reader
    // never took its lines.
    for (const char *suffix : {".1", ""}) {
        const std::string path = base + BUNDLE_JOURNAL + suffix;
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) {
            continue;
        }
        const int fd = oam_open_regular(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY, 0, &st);
        if (fd < 0 || st.st_nlink != 1) {
            bundle_leave_out(w, std::string(BUNDLE_JOURNAL) + suffix,
                             fd == -2 ? "not a regular file" : fd >= 0 || errno == ELOOP ? "a link" : strerror(errno));
        }
        if (fd >= 0) {
            (void)close(fd);
        }
    }
    // The lines of the events loaded for the window, placed on the time line.
    return oamlog_journal_select();
}

std::string bundle_stats(std::vector<oamlog_source> &sources, const oamlog_bundle_opts &o)
{
    std::vector<oamlog_source> copies = sources;
    char *text = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&text, &len);
    if (out == nullptr) {
        return "";
    }
    oamlog_stats(out, copies, false, o.since, o.until);
    (void)fclose(out);
    std::string s(text, len);
    free(text);
    return s;
}

// Puts the finished file under its name, which nothing may hold meanwhile.
int bundle_place(const std::string &tmp, const std::string &out)
{
    if (link(tmp.c_str(), out.c_str()) != 0) {
        const int err = errno;
        // A storage without hard links: a rename, after one more look.
        struct stat st {};
        if ((err != EPERM && err != ENOTSUP && err != EXDEV) || lstat(out.c_str(), &st) == 0 ||
            rename(tmp.c_str(), out.c_str()) != 0) {
            oamlog_error("%s: %s", oamlog_name_text(out.c_str()).c_str(), strerror(err == EEXIST ? EEXIST : err));
            (void)unlink(tmp.c_str());
            return -1;
        }
    } else {
        (void)unlink(tmp.c_str());
    }
    const size_t slash = out.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : out.substr(0, slash);
    const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        (void)fsync(dfd);
        (void)close(dfd);
    }
    return 0;
}

}  // namespace

namespace {

// The half-written file's name, for a signal to take away with it; then
// the signal goes on as before (a bundle read as the input is removed too).
char g_bundle_part[4096];
constexpr int BUNDLE_PART_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
sighandler_t g_bundle_part_was[std::size(BUNDLE_PART_SIGNALS)];

void bundle_part_on_signal(int sig)
{
    if (g_bundle_part[0] != '\0') {
        (void)unlink(g_bundle_part);
    }
    for (size_t i = 0; i < std::size(BUNDLE_PART_SIGNALS); ++i) {
        if (BUNDLE_PART_SIGNALS[i] == sig) {
            (void)signal(sig, g_bundle_part_was[i]);
        }
    }
    (void)raise(sig);
}

void bundle_part_guard(const std::string &tmp)
{
    if (tmp.size() >= sizeof(g_bundle_part)) {
        return;  // open() refuses so long a name anyway
    }
    memcpy(g_bundle_part, tmp.c_str(), tmp.size() + 1);
    for (size_t i = 0; i < std::size(BUNDLE_PART_SIGNALS); ++i) {
        g_bundle_part_was[i] = signal(BUNDLE_PART_SIGNALS[i], bundle_part_on_signal);
        if (g_bundle_part_was[i] == SIG_IGN) {
            (void)signal(BUNDLE_PART_SIGNALS[i], SIG_IGN);  // as under nohup: not ours to end
        }
    }
}

void bundle_part_unguard()
{
    for (size_t i = 0; i < std::size(BUNDLE_PART_SIGNALS); ++i) {
        if (g_bundle_part_was[i] != SIG_IGN) {
            (void)signal(BUNDLE_PART_SIGNALS[i], g_bundle_part_was[i]);
        }
    }
    g_bundle_part[0] = '\0';
}

// The bundle: the manifest, then the members kept in body, then the end;
// 0, or -1 with errno.  The stream is closed here: after a failed write it
// still points into the buffer it was given, and its close compresses from
// there, so every buffer it was given lives until then.
int bundle_pack(gzFile gz, const bundle_writer &w, const std::string &manifest)
{
    uint8_t block[OAM_TAR_BLOCK] = {};
    bundle_header(block, BUNDLE_MANIFEST, manifest.size(), bundle_made_now());
    std::string head(reinterpret_cast<const char *>(block), sizeof(block));
    head += manifest;
    head.append(static_cast<size_t>(tar_padded(manifest.size()) - manifest.size()), '\0');
    uint8_t buf[BUNDLE_COPY_LEN];
    const uint8_t end[2 * OAM_TAR_BLOCK] = {};
    int err = w.failed ? w.err : 0;
    const auto put = [gz, &err](const void *data, size_t len) {
        errno = 0;
        if (err == 0 && gzwrite(gz, data, static_cast<unsigned>(len)) != static_cast<int>(len)) {
            err = errno != 0 ? errno : EIO;
        }
    };
    put(head.data(), head.size());
    for (uint64_t at = 0; err == 0 && at < w.written;) {
        const ssize_t n = pread(w.body, buf, static_cast<size_t>(std::min<uint64_t>(sizeof(buf), w.written - at)),
                                static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            err = n == 0 ? EIO : errno;
            break;
        }
        put(buf, static_cast<size_t>(n));
        at += static_cast<uint64_t>(n);
    }
    put(end, sizeof(end));
    int zerr = Z_OK;
    (void)gzerror(gz, &zerr);
    errno = 0;
    if (gzclose(gz) != Z_OK || zerr != Z_OK) {
        err = err != 0 ? err : errno != 0 ? errno : EIO;
    }
    errno = err;
    return err == 0 ? 0 : -1;
}

// The part files of writers of out that are gone (a power cut ends one
// with nothing to remove its file): out.part<pid>, and its body, when no
// process has that pid, or this one has (before it makes its own: a pid of
// a boot before); regular files only, never through a link.
void bundle_part_sweep(const std::string &out)
{
    const size_t slash = out.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : out.substr(0, slash);
    const std::string stem = out.substr(slash == std::string::npos ? 0 : slash + 1) + ".part";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        return;
    }
    for (const dirent *ent = readdir(d); ent != nullptr; ent = readdir(d)) {
        std::string_view rest(ent->d_name);
        if (rest.substr(0, stem.size()) != stem) {
            continue;
        }
        rest.remove_prefix(stem.size());
        if (rest.size() > 5 && rest.substr(rest.size() - 5) == ".body") {
            rest.remove_suffix(5);
        }
        // Nine digits at most: any pid, within a pid_t.
        const long pid = rest.empty() || rest.size() > 9 ? 0 : strtol(std::string(rest).c_str(), nullptr, 10);
        struct stat st {};
        if (pid <= 0 || std::to_string(pid) != rest ||
            (pid != getpid() && (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)) ||
            fstatat(dirfd(d), ent->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
            continue;
        }
        (void)unlinkat(dirfd(d), ent->d_name, 0);
    }
    (void)closedir(d);
}

// The nameless file the members wait in, beside out.
int bundle_body(const std::string &tmp)
{
    const std::string path = tmp + ".body";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
        (void)unlink(path.c_str());
    }
    return fd;
}

}  // namespace

int oamlog_bundle_write(const oamlog_bundle_opts &o)
{
    bundle_part_sweep(o.out);
    struct stat st {};
    if (lstat(o.out.c_str(), &st) == 0) {
        oamlog_error("%s exists; a bundle never replaces a file", oamlog_name_text(o.out.c_str()).c_str());
        return OAMLOG_FAILED;
    }
    const std::string base = o.root.empty() || o.root.back() == '/' ? o.root : o.root + "/";
    std::vector<oamlog_source> sources;
    if (oamlog_add_root(&sources, o.root, o.cores, false) != 0) {
        return OAMLOG_FAILED;
    }
    const std::string tmp = o.out + ".part" + std::to_string(getpid());
    bundle_part_guard(tmp);
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    const int body = fd < 0 ? -1 : bundle_body(tmp);
    const int sync_fd = body < 0 ? -1 : dup(fd);
    gzFile gz = sync_fd < 0 ? nullptr : gzdopen(fd, "wb");
    if (gz == nullptr) {
        oamlog_error("%s: %s", oamlog_name_text(tmp.c_str()).c_str(), strerror(errno));
        for (const int open_fd : {fd, body, sync_fd}) {
            if (open_fd >= 0) {
                (void)close(open_fd);
            }
        }
        if (fd >= 0) {
            (void)unlink(tmp.c_str());
        }
        bundle_part_unguard();
        return OAMLOG_FAILED;
    }
    bundle_writer w{body, false, 0, 0, {}, {}};

    // The start events tell the chip, modes and boots of the whole journal;
    // the rest is of the window.
    oamlog_journal_load(o.root, {}, 0, UINT64_MAX, false);
    const std::vector<oamlog_event> all_events = g_oamlog_events;
    std::vector<bundle_file> files;
    bundle_dumps(&w, o, base, &files);
    bundle_ini(&w, &files);
    oamlog_journal_load(o.root, o.cores, o.since, o.until, false);
    const std::string journal = bundle_journal(&w, base);

    for (oamlog_source &src : sources) {
        std::vector<std::string> listed;
        for (const oamlog_file &f : src.files) {
            listed.push_back(f.path);
        }
        src.quiet = true;
        oamlog_open_files(&src);
        bundle_check_files(&w, &src, listed);
        src.quiet = false;
    }
    const std::string stats = bundle_stats(sources, o);

    uint64_t cut = 0;
    if (o.max_mib > 0) {
        uint64_t fixed = 2 * OAM_TAR_BLOCK + BUNDLE_MANIFEST_ROOM + tar_padded(journal.size()) +
                         tar_padded(stats.size()) + 2 * OAM_TAR_BLOCK;
        for (const bundle_file &f : files) {
            fixed += OAM_TAR_BLOCK + tar_padded(f.data.size());
        }
        const uint64_t max = static_cast<uint64_t>(o.max_mib) * MIB;
        cut = bundle_cut(sources, o.since, o.until, max > fixed ? max - fixed : 0);
    }
    bundle_add(&w, BUNDLE_JOURNAL, journal, bundle_made_now());
    bundle_add(&w, BUNDLE_STATS, stats, bundle_made_now());
    for (const bundle_file &f : files) {
        bundle_add(&w, f.name, f.data, f.st);
    }
    std::vector<bundle_core> cores;
    bundle_logs(&w, sources, o.since, o.until, cut, &cores);
    for (const bundle_core &c : cores) {
        if (c.left_out > 0) {
            (void)fprintf(stderr, "oamlog: bundle: %llu %s records left out to stay within %ld MiB\n",
                          static_cast<unsigned long long>(c.left_out), c.core.c_str(), o.max_mib);
        }
    }
    const std::string manifest = bundle_manifest(w, o, cores, cut, all_events);
    const bool packed = bundle_pack(gz, w, manifest) == 0;
    int err = errno;
    const bool synced = packed && fsync(sync_fd) == 0;
    err = packed ? errno : err;
    (void)close(sync_fd);
    (void)close(body);
    for (oamlog_source &src : sources) {
        for (oamlog_file &f : src.files) {
            (void)close(f.fd);
        }
    }
    int ret = OAMLOG_OK;
    if (!packed || !synced) {
        oamlog_error("%s: %s", oamlog_name_text(tmp.c_str()).c_str(), strerror(err != 0 ? err : EIO));
        (void)unlink(tmp.c_str());
        ret = OAMLOG_FAILED;
    } else if (bundle_place(tmp, o.out) != 0) {
        ret = OAMLOG_FAILED;
    }
    bundle_part_unguard();
    return ret;
}

// ---- Reading ----

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
    ++g_oamlog_damage_count;
    if (g_oamlog_status == OAMLOG_OK) {
        g_oamlog_status = OAMLOG_DAMAGED;
    }
    (void)fprintf(g_oamlog_damage_out, "%s%s: %s\n", g_oamlog_damage_out == stderr ? "oamlog: " : "",
                  oamlog_name_text(g_bundle_path.c_str()).c_str(), what.c_str());
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
        (void)fprintf(g_oamlog_damage_out, "%s%s: %llu members of the manifest lost past the damage\n",
                      g_oamlog_damage_out == stderr ? "oamlog: " : "", oamlog_name_text(g_bundle_path.c_str()).c_str(),
                      static_cast<unsigned long long>(missing));
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

}  // namespace

namespace {

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

bool oamlog_bundle_window(std::string *context, uint64_t *since, uint64_t *until)
{
    const std::string dump = bundle_window_field("dump");
    if (g_bundle_dir.empty() || dump.empty()) {
        return false;
    }
    uint64_t key = 0;
    const std::string from = bundle_window_field("since");
    if (!from.empty() && oamlog_parse_time(from.c_str(), false, &key) == 0) {
        *since = std::max(*since, key);
    }
    const std::string to = bundle_window_field("until");
    if (!to.empty() && oamlog_parse_time(to.c_str(), true, &key) == 0) {
        *until = std::min(*until, key);
    }
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
