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

struct bundle_writer {
    gzFile gz;
    bool failed;
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
    if (len > 0 && !w->failed && gzwrite(w->gz, data, static_cast<unsigned>(len)) != static_cast<int>(len)) {
        w->failed = true;
    }
}

// One member from its parts, written in order.
void bundle_add(bundle_writer *w, const std::string &name, const std::vector<std::pair<const void *, size_t>> &parts)
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
    oam_tar_header(block, name.c_str(), static_cast<uint32_t>(size));
    bundle_put(w, block, sizeof(block));
    oamlog_sha256 sha;
    oamlog_sha256_init(&sha);
    for (const auto &p : parts) {
        // gzwrite takes an unsigned count: a large part goes in pieces.
        for (size_t at = 0; at < p.second; at += 1U << 30) {
            const size_t take = std::min(p.second - at, static_cast<size_t>(1U << 30));
            bundle_put(w, static_cast<const uint8_t *>(p.first) + at, take);
        }
        oamlog_sha256_update(&sha, p.first, p.second);
    }
    const uint8_t zeros[OAM_TAR_BLOCK] = {};
    bundle_put(w, zeros, static_cast<size_t>(tar_padded(size) - size));  // under one block
    w->written += OAM_TAR_BLOCK + tar_padded(size);
    w->members.push_back({name, size, oamlog_sha256_hex(&sha)});
}

void bundle_add(bundle_writer *w, const std::string &name, const std::string &text)
{
    bundle_add(w, name, {{text.data(), text.size()}});
}

struct bundle_file {
    std::string name;  // the member's
    std::string path;
    std::string data;
};

// Reads a file whole, never through a link nor from a FIFO or device: 0,
// or -1 with *why.  A file that changes while read is read once more,
// then left out.
int bundle_read_whole(const std::string &path, bool one_name, std::string *data, std::string *why)
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
            return 0;
        }
        *why = n < 0 ? strerror(errno) : "changed while read";
    }
    return -1;
}

void bundle_take_whole(bundle_writer *w, std::vector<bundle_file> *files, const std::string &name,
                       const std::string &path, bool one_name)
{
    bundle_file f{name, path, {}};
    std::string why;
    if (bundle_read_whole(path, one_name, &f.data, &why) != 0) {
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
        std::vector<uint8_t> bytes;
        const auto flush = [&]() {
            if (!name.empty() && !bytes.empty()) {
                bundle_add(w, name, {{bytes.data(), bytes.size()}});
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

int oamlog_bundle_write(const oamlog_bundle_opts &o)
{
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
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    const int sync_fd = fd < 0 ? -1 : dup(fd);
    gzFile gz = sync_fd < 0 ? nullptr : gzdopen(fd, "wb");
    if (gz == nullptr) {
        oamlog_error("%s: %s", oamlog_name_text(tmp.c_str()).c_str(), strerror(errno));
        if (fd >= 0) {
            (void)close(fd);
            (void)close(sync_fd);
            (void)unlink(tmp.c_str());
        }
        return OAMLOG_FAILED;
    }
    bundle_writer w{gz, false, 0, {}, {}};

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
    bundle_add(&w, BUNDLE_JOURNAL, journal);
    bundle_add(&w, BUNDLE_STATS, stats);
    for (const bundle_file &f : files) {
        bundle_add(&w, f.name, f.data);
    }
    std::vector<bundle_core> cores;
    bundle_logs(&w, sources, o.since, o.until, cut, &cores);
    for (const bundle_core &c : cores) {
        if (c.left_out > 0) {
            (void)fprintf(stderr, "oamlog: bundle: %llu %s records left out to stay within %ld MiB\n",
                          static_cast<unsigned long long>(c.left_out), c.core.c_str(), o.max_mib);
        }
    }
    std::string manifest = bundle_manifest(w, o, cores, cut, all_events);
    bundle_add(&w, BUNDLE_MANIFEST, manifest);
    const uint8_t end[2 * OAM_TAR_BLOCK] = {};
    bundle_put(&w, end, sizeof(end));
    int zerr = Z_OK;
    (void)gzerror(gz, &zerr);
    const bool closed = gzclose(gz) == Z_OK;
    const bool synced = fsync(sync_fd) == 0;
    const int err = errno;
    (void)close(sync_fd);
    for (oamlog_source &src : sources) {
        for (oamlog_file &f : src.files) {
            (void)close(f.fd);
        }
    }
    if (w.failed || zerr != Z_OK || !closed || !synced) {
        oamlog_error("%s: %s", oamlog_name_text(tmp.c_str()).c_str(), strerror(err != 0 ? err : EIO));
        (void)unlink(tmp.c_str());
        return OAMLOG_FAILED;
    }
    if (bundle_place(tmp, o.out) != 0) {
        return OAMLOG_FAILED;
    }
    return OAMLOG_OK;
}

// ---- Reading ----

namespace {

std::string g_bundle_dir;
std::string g_bundle_path;
// Everything unpacked, removed at the exit; room is kept so that the list
// never moves while a signal may read it.
std::vector<std::string> g_bundle_made;

struct bundle_unpacked {
    std::string name;
    uint64_t size;
    std::string sha256;
};

void bundle_damage(const std::string &what)
{
    ++g_oamlog_damage_count;
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

// Passes over n bytes of the stream; false when it ends first.
bool bundle_skip(gzFile gz, uint64_t n, int out_fd, oamlog_sha256 *sha, uint64_t keep)
{
    uint8_t buf[BUNDLE_COPY_LEN];
    for (uint64_t done = 0; done < n;) {
        const auto want = static_cast<unsigned>(std::min<uint64_t>(n - done, sizeof(buf)));
        const int got = gzread(gz, buf, want);
        if (got <= 0) {
            return false;
        }
        const size_t data =
            done < keep ? static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(got), keep - done)) : 0;
        if (out_fd >= 0 && data > 0) {
            oamlog_sha256_update(sha, buf, data);
            if (oam_write_all(out_fd, buf, data) != 0) {
                return false;
            }
        }
        done += static_cast<uint64_t>(got);
    }
    return true;
}

// The members the manifest lists, each as written.
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
    const size_t list = text.find("\"members\":[");
    for (size_t at = list == std::string::npos ? text.size() : text.find('{', list); at < text.size();
         at = text.find('{', at + 1)) {
        char name[OAM_TAR_NAME_MAX + 1] = {};
        char sha[65] = {};
        unsigned long long size = 0;
        if (sscanf(text.c_str() + at, "{\"name\":\"%99[^\"]\",\"size\":%llu,\"sha256\":\"%64[0-9a-f]\"}", name, &size,
                   sha) != 3) {
            continue;
        }
        listed.emplace_back(name);
        const auto m = std::find_if(got.begin(), got.end(), [&name](const bundle_unpacked &u) { return u.name == name; });
        if (m == got.end()) {
            bundle_damage(oamlog_name_text(name) + ": listed in the manifest, not in the bundle");
        } else if (m->size != size || m->sha256 != sha) {
            bundle_damage(oamlog_name_text(name) + ": does not match the manifest's size and sha256");
        }
    }
    for (const bundle_unpacked &u : got) {
        if (u.name != BUNDLE_MANIFEST && std::find(listed.begin(), listed.end(), u.name) == listed.end()) {
            bundle_damage(oamlog_name_text(u.name.c_str()) + ": not in the manifest");
        }
    }
}

// Reads the tar stream into the folder; damage is reported, never
// followed: a member of another kind or name is passed over, and a
// damaged header ends the reading.
void bundle_unpack(gzFile gz, std::vector<bundle_unpacked> *got)
{
    uint64_t total = 0;
    for (unsigned n = 1;; ++n) {
        uint8_t block[OAM_TAR_BLOCK];
        const int read = gzread(gz, block, sizeof(block));
        if (read != static_cast<int>(sizeof(block))) {
            bundle_damage("cut short before member " + std::to_string(n) + "; what came before is read");
            return;
        }
        if (std::all_of(block, block + sizeof(block), [](uint8_t c) { return c == 0; })) {
            // Read to the end: only there does gzip check its sum.
            while (gzread(gz, block, sizeof(block)) > 0) {
            }
            return;
        }
        uint64_t size = 0;
        if (!oam_tar_header_ok(block) || !bundle_size_field(block + 124, &size)) {
            bundle_damage("member " + std::to_string(n) + ": damaged header; the rest is not read");
            return;
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
            if (fd < 0) {
                why = errno == EEXIST ? "a second member of that name" : strerror(errno);
            } else {
                g_bundle_made.push_back(path);
            }
        }
        if (!why.empty()) {
            bundle_damage(shown + ": " + why + "; left out");
        }
        oamlog_sha256 sha;
        oamlog_sha256_init(&sha);
        const bool whole = bundle_skip(gz, tar_padded(size), fd, &sha, size);
        if (fd >= 0) {
            (void)close(fd);
            total += size;
            got->push_back({name, size, whole ? oamlog_sha256_hex(&sha) : ""});
        }
        if (!whole) {
            bundle_damage(shown + ": cut short; what came before is read");
            return;
        }
    }
}

}  // namespace

bool oamlog_is_bundle(const std::string &path)
{
    struct stat st {};
    const int fd = oam_open_regular(path.c_str(), O_RDONLY | O_NOCTTY, 0, &st);
    if (fd < 0) {
        return false;
    }
    unsigned char magic[2] = {};
    const bool gzip = pread(fd, magic, sizeof(magic), 0) == 2 && magic[0] == 0x1F && magic[1] == 0x8B;
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
    for (const char *sub : BUNDLE_DIRS) {
        const std::string path = dir + "/" + sub;
        if (mkdir(path.c_str(), 0700) == 0) {
            g_bundle_made.push_back(path);
        }
    }
    std::vector<bundle_unpacked> got;
    bundle_unpack(gz, &got);
    int zerr = Z_OK;
    const char *zmsg = gzerror(gz, &zerr);
    if (zerr != Z_OK && zerr != Z_BUF_ERROR) {
        bundle_damage(std::string("gzip: ") + (zmsg != nullptr ? zmsg : "damaged"));
    }
    (void)gzclose(gz);
    bundle_check_manifest(got);
    *root = dir;
    return 0;
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
