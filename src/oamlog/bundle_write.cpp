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
#include "oamlog/bundle_write.h"
#include "oamlog/read_bundle.h"
#include "oamlog/read_journal.h"
#include "oamlog/read_sha256.h"
#include "oamlog/read_source.h"
#include "oamlog/reader_status.h"
#include "oamlog/timeline.h"
#include "oamlog/view_tables.h"

namespace {

// The manifest's room in a --max-size budget.
constexpr uint64_t BUNDLE_MANIFEST_ROOM = 64 * 1024;
constexpr uint64_t MIB = 1024 * 1024;

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
        while (oamlog_next_placed(&src, &rec) > 0) {
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
        while (oamlog_next_placed(&src, &rec) > 0) {
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

