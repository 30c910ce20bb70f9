// The context kept with each dump: when a dump is reported, every enabled
// core's records of the last seconds and the journal's lines of them are
// copied into one file beside the archive-to-be.  The log files keep
// rotating while the dump is saved and long after; the archive stays, and
// now its story stays with it.  The records are copied file to file by the
// kernel, never held here as a whole: only their headers are read, to find
// where the window begins and ends.
#include <dirent.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/oam_context.h"
#include "common/oam_driver.h"
#include "common/oam_file.h"
#include "common/oam_global.h"
#include "common/oam_journal.h"
#include "common/oam_print.h"
#include "common/oam_record_parse.h"
#include "common/oam_time.h"
#include "config/ini.h"
#include "memdump/memdump.h"
#include "memdump/memdump_internal.h"

int32_t g_memdump_context_seconds = 0;
int32_t g_memdump_context_max_kib = MEMDUMP_CONTEXT_MAX_KIB_DEFAULT;

namespace {

constexpr int32_t MEMDUMP_CONTEXT_SECONDS_MAX = 86400;
constexpr int32_t MEMDUMP_CONTEXT_MAX_KIB_MAX = 1024 * 1024;
constexpr size_t CTX_READ_LEN = 65536;
constexpr int CTX_FILES_MAX = 100000;
constexpr int CTX_OPEN_ATTEMPTS = 3;
constexpr size_t CTX_NAME_LEN = 256;
// The events journal beside the logs, as the daemon names it at start.
constexpr const char *MEMDUMP_JOURNAL_NAME = "oam_events";

struct ctx_fd {
    int fd = -1;
    ctx_fd() = default;
    explicit ctx_fd(int f) : fd(f) {}
    ctx_fd(ctx_fd &&o) noexcept : fd(o.fd) { o.fd = -1; }
    ctx_fd &operator=(ctx_fd &&o) noexcept
    {
        std::swap(fd, o.fd);
        return *this;
    }
    ctx_fd(const ctx_fd &) = delete;
    ctx_fd &operator=(const ctx_fd &) = delete;
    ~ctx_fd()
    {
        if (fd >= 0) {
            (void)close(fd);
        }
    }
};

struct ctx_log_file {
    ctx_fd fd;
    uint64_t size;  // as it was when opened: file 1 grows on
};

// A place in a core's files: file index (oldest first) and byte offset.
struct ctx_pos {
    size_t file;
    uint64_t off;
};

// Reads the records of a core's files, oldest first, from a place on.
struct ctx_reader {
    const std::vector<ctx_log_file> *files;
    ctx_pos at;
    std::vector<uint8_t> buf;
    uint64_t buf_off;
    size_t pos;
    uint64_t last_key;
};

struct ctx_item {
    ctx_pos pos;        // where it begins
    uint64_t len;
    bool record;        // else a damaged stretch
    uint64_t key;       // of a record: its stamp, or the last good one before it
    uint16_t stamp[OAM_STAMP_FIELDS];
};

// Milliseconds of a local calendar time on one scale, so that two stamps
// and a number of seconds can be compared.
int64_t ctx_days(int64_t y, int64_t m, int64_t d)
{
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy;
}

uint64_t ctx_key(const uint16_t *s)
{
    const int64_t days = ctx_days(s[0], s[1], s[2]);
    return static_cast<uint64_t>(((days * 24 + s[3]) * 60 + s[4]) * 60 + s[5]) * 1000 + s[6];
}

uint64_t ctx_key_of_time(time_t sec, long msec)
{
    struct tm local {};
    if (oam_local_time(sec, &local) != 0) {
        return 0;
    }
    const uint16_t s[OAM_STAMP_FIELDS] = {
        static_cast<uint16_t>(local.tm_year + 1900), static_cast<uint16_t>(local.tm_mon + 1),
        static_cast<uint16_t>(local.tm_mday),        static_cast<uint16_t>(local.tm_hour),
        static_cast<uint16_t>(local.tm_min),         static_cast<uint16_t>(local.tm_sec),
        static_cast<uint16_t>(msec)};
    return ctx_key(s);
}

bool ctx_fill(ctx_reader *r)
{
    const ctx_log_file &f = (*r->files)[r->at.file];
    r->buf_off += r->pos;
    r->buf.erase(r->buf.begin(), r->buf.begin() + static_cast<std::ptrdiff_t>(r->pos));
    r->pos = 0;
    const uint64_t from = r->buf_off + r->buf.size();
    if (from >= f.size) {
        return false;
    }
    const size_t want = static_cast<size_t>(std::min<uint64_t>(CTX_READ_LEN, f.size - from));
    const size_t have = r->buf.size();
    r->buf.resize(have + want);
    ssize_t n;
    do {
        n = pread(f.fd.fd, r->buf.data() + have, want, static_cast<off_t>(from));
    } while (n < 0 && errno == EINTR);
    r->buf.resize(have + static_cast<size_t>(n > 0 ? n : 0));
    return n > 0;
}

void ctx_start(ctx_reader *r, const std::vector<ctx_log_file> *files, ctx_pos at)
{
    r->files = files;
    r->at = at;
    r->buf.clear();
    r->buf_off = at.off;
    r->pos = 0;
    r->last_key = 0;
}

// The next record or damaged stretch; false at the end of the last file.
bool ctx_next(ctx_reader *r, ctx_item *it)
{
    while (r->at.file < r->files->size()) {
        const uint64_t size = (*r->files)[r->at.file].size;
        const bool final = r->buf_off + r->buf.size() >= size;
        const oam_record_item item = oam_record_parse_next(r->buf.data(), r->buf.size(), r->pos, final);
        if (item.kind == OAM_ITEM_RECORD || item.kind == OAM_ITEM_DAMAGE) {
            it->pos = {r->at.file, r->buf_off + item.pos};
            it->len = item.len;
            it->record = item.kind == OAM_ITEM_RECORD;
            if (it->record) {
                const uint8_t *rec = r->buf.data() + item.pos;
                for (int f = 0; f < OAM_STAMP_FIELDS; ++f) {
                    it->stamp[f] = oam_stamp_field(rec, f);
                }
                if (item.stamp_ok) {
                    r->last_key = ctx_key(it->stamp);
                }
                it->key = r->last_key;
            }
            r->pos = item.pos + item.len;
            return true;
        }
        if (item.kind == OAM_ITEM_MORE && !final && ctx_fill(r)) {
            continue;
        }
        // The file ends (or cannot be read on): the next one.
        ++r->at.file;
        r->buf.clear();
        r->buf_off = 0;
        r->pos = 0;
    }
    return false;
}

// The window of one core: its files, where it begins and ends, and what
// the header says of it.
struct ctx_core {
    oam_context_section sec;
    std::vector<ctx_log_file> files;  // oldest first
    ctx_pos begin;
    ctx_pos end;
};

// Opens the core's files from file 1 back to the first one that begins
// before the window (or the oldest there).  The receiver may rotate while
// they are opened: the names are looked at again afterwards, and a listing
// that moved is taken anew.
void ctx_open_files(const oam_log_desc *log, uint64_t since, ctx_core *core)
{
    for (int attempt = 0; attempt < CTX_OPEN_ATTEMPTS; ++attempt) {
        std::vector<ctx_log_file> newest_first;
        std::vector<ino_t> inos;
        core->sec.compressed = 0;
        char path[OAM_FILE_PATH_LEN + 8];
        for (int k = 1; k <= CTX_FILES_MAX; ++k) {
            if (snprintf(path, sizeof(path), OAM_LOG_NAME_FMT, log->path.value, log->name, k) >=
                static_cast<int>(sizeof(path) - 4)) {
                break;
            }
            struct stat st {};
            const int fd = oam_open_regular(path, O_RDONLY | O_NOFOLLOW, 0, &st);
            if (fd < 0) {
                // A compressed file cannot be copied by range: the window
                // is cut there, and the header says so.
                struct stat zst {};
                const size_t at = strlen(path);
                (void)snprintf(path + at, sizeof(path) - at, ".zst");
                core->sec.compressed = lstat(path, &zst) == 0 ? 1 : 0;
                break;
            }
            inos.push_back(st.st_ino);
            std::vector<ctx_log_file> one;
            one.push_back({ctx_fd(fd), static_cast<uint64_t>(st.st_size)});
            ctx_reader r {};
            ctx_start(&r, &one, {0, 0});
            ctx_item it {};
            bool before = false;
            while (ctx_next(&r, &it)) {
                // The first record with a good stamp tells the file's age.
                if (it.record && it.key != 0) {
                    before = it.key < since;
                    break;
                }
            }
            newest_first.push_back(std::move(one.back()));
            if (before) {
                break;
            }
        }
        bool moved = false;
        for (size_t i = 0; i < inos.size() && !moved; ++i) {
            struct stat st {};
            (void)snprintf(path, sizeof(path), OAM_LOG_NAME_FMT, log->path.value, log->name, static_cast<int>(i + 1));
            moved = stat(path, &st) != 0 || st.st_ino != inos[i];
        }
        if (!moved || attempt + 1 == CTX_OPEN_ATTEMPTS) {
            core->files.clear();
            for (auto it = newest_first.rbegin(); it != newest_first.rend(); ++it) {
                core->files.push_back(std::move(*it));
            }
            return;
        }
    }
}

// The time line of a core's records: their order in the files is the
// order they were stored in, whatever the wall clock did meanwhile.  It
// runs on by the stamps' steps forward and stands still where a stamp
// goes back (the clock was set back).  Gives the milliseconds from the
// start to each record in turn.
struct ctx_line {
    uint64_t at;    // on the time line
    uint64_t prev;  // key of the last good stamp; 0: none yet
};

uint64_t ctx_line_step(ctx_line *l, uint64_t key)
{
    if (key != 0 && l->prev != 0 && key > l->prev) {
        l->at += key - l->prev;
    }
    l->prev = key != 0 ? key : l->prev;
    return l->at;
}

// Where the window begins and ends, and its counts: it ends where the
// files ended when they were opened, at the report, and begins with the
// first record at most the window's length before it on the time line.
void ctx_find_window(ctx_core *core, uint64_t window_ms, uint64_t until)
{
    oam_context_section &sec = core->sec;
    core->begin = {core->files.size(), 0};
    core->end = {core->files.size(), 0};
    ctx_reader r {};
    ctx_item it {};
    ctx_line line {};
    ctx_start(&r, &core->files, {0, 0});
    while (ctx_next(&r, &it)) {
        (void)ctx_line_step(&line, it.record ? it.key : 0);
    }
    if (line.prev == 0) {
        return;  // no record with a good stamp
    }
    const uint64_t report = ctx_line_step(&line, until);
    const uint64_t from = report > window_ms ? report - window_ms : 0;
    line = {};
    bool in = false;
    ctx_start(&r, &core->files, {0, 0});
    while (ctx_next(&r, &it)) {
        const uint64_t at = ctx_line_step(&line, it.record ? it.key : 0);
        if (it.record && !in && it.key != 0 && at >= from) {
            in = true;
            core->begin = it.pos;
            memcpy(sec.first, it.stamp, sizeof(sec.first));
        }
        if (!in) {
            continue;
        }
        sec.bytes += it.len;
        if (it.record) {
            ++sec.records;
            memcpy(sec.last, it.stamp, sizeof(sec.last));
        }
    }
    if (in) {
        core->end = {core->files.size() - 1, core->files.back().size};
    }
}

// The next record of a core's window, with the damaged bytes before it in
// span; false when the window has no more.
bool ctx_window_next(ctx_reader *r, const ctx_core &c, ctx_item *rec, uint64_t *span)
{
    *span = 0;
    ctx_item it {};
    while (ctx_next(r, &it)) {
        if (it.pos.file > c.end.file || (it.pos.file == c.end.file && it.pos.off >= c.end.off)) {
            return false;
        }
        *span += it.len;
        if (it.record) {
            *rec = it;
            return true;
        }
    }
    return false;
}

// The oldest records of the cores go first until the records fit the
// bound: the cores are read side by side, and of their next records the
// oldest is left out (the core named first on a tie).  Returns the bytes
// kept.
uint64_t ctx_bound(const std::vector<ctx_core *> &cores, uint64_t bound)
{
    uint64_t total = 0;
    for (const ctx_core *c : cores) {
        total += c->sec.bytes;
    }
    if (total <= bound) {
        return total;
    }
    std::vector<ctx_reader> readers(cores.size());
    std::vector<ctx_item> next(cores.size());
    std::vector<uint64_t> span(cores.size());
    std::vector<bool> more(cores.size());
    for (size_t i = 0; i < cores.size(); ++i) {
        ctx_start(&readers[i], &cores[i]->files, cores[i]->begin);
        more[i] = cores[i]->sec.records > 0 && ctx_window_next(&readers[i], *cores[i], &next[i], &span[i]);
    }
    while (total > bound) {
        size_t pick = cores.size();
        for (size_t i = 0; i < cores.size(); ++i) {
            if (more[i] && (pick == cores.size() || next[i].key < next[pick].key)) {
                pick = i;
            }
        }
        if (pick == cores.size()) {
            break;
        }
        ctx_core &c = *cores[pick];
        total -= std::min(total, span[pick]);
        c.sec.bytes -= std::min(c.sec.bytes, span[pick]);
        --c.sec.records;
        ++c.sec.left_out;
        c.begin = {readers[pick].at.file, readers[pick].buf_off + readers[pick].pos};
        more[pick] = ctx_window_next(&readers[pick], c, &next[pick], &span[pick]);
        if (more[pick]) {
            memcpy(c.sec.first, next[pick].stamp, sizeof(c.sec.first));
        } else {
            total -= std::min(total, c.sec.bytes);
            c.sec.records = 0;
            c.sec.bytes = 0;
            c.begin = c.end;
        }
    }
    return total;
}

// Copies len bytes at off of in onto the end of out, in the kernel: the
// file systems' own copy, else sendfile, else a small buffer.
int ctx_copy_range(int in, uint64_t off, uint64_t len, int out)
{
    loff_t at = static_cast<loff_t>(off);
    bool cfr = true;
    bool sf = true;
    while (len > 0) {
        const size_t chunk = static_cast<size_t>(std::min<uint64_t>(len, 1U << 30));
        ssize_t n = -1;
        if (cfr) {
            n = copy_file_range(in, &at, out, nullptr, chunk, 0);
            if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
                          errno == EBADF)) {
                cfr = false;
                continue;
            }
        } else if (sf) {
            off_t soff = static_cast<off_t>(at);
            n = sendfile(out, in, &soff, chunk);
            if (n < 0 && (errno == EINVAL || errno == ENOSYS)) {
                sf = false;
                continue;
            }
            at = static_cast<loff_t>(soff);
        } else {
            char buf[8192];
            n = pread(in, buf, std::min(chunk, sizeof(buf)), static_cast<off_t>(at));
            if (n > 0 && oam_write_all(out, buf, static_cast<size_t>(n)) != 0) {
                return -1;
            }
            at += n > 0 ? n : 0;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // Nothing more where the bytes were seen: the file was cut back.
        if (n <= 0) {
            return -1;
        }
        len -= static_cast<uint64_t>(n);
    }
    return 0;
}

int ctx_copy_window(const ctx_core &c, int out)
{
    for (size_t i = c.begin.file; i < c.files.size() && i <= c.end.file; ++i) {
        const uint64_t from = i == c.begin.file ? c.begin.off : 0;
        const uint64_t to = i == c.end.file ? c.end.off : c.files[i].size;
        if (to > from && ctx_copy_range(c.files[i].fd.fd, from, to - from, out) != 0) {
            return -1;
        }
    }
    return 0;
}

// The journal's lines stamped within the window (the older half first),
// with the records its losses in the window count per core.
void ctx_journal_lines(uint64_t since, uint64_t until, std::string *lines, uint64_t *count,
                       std::vector<ctx_core> &cores)
{
    for (const char *suffix : {".1", ""}) {
        char path[OAM_FILE_PATH_LEN + 8];
        (void)snprintf(path, sizeof(path), "%s%s%s", OAM_LOG_ROOT_DIR, MEMDUMP_JOURNAL_NAME, suffix);
        struct stat st {};
        ctx_fd fd(oam_open_regular(path, O_RDONLY | O_NOFOLLOW, 0, &st));
        if (fd.fd < 0) {
            continue;
        }
        std::unique_ptr<FILE, int (*)(FILE *)> fp(fdopen(fd.fd, "r"), fclose);
        if (!fp) {
            continue;
        }
        fd.fd = -1;
        char line[OAM_CONTEXT_LINE_LEN * 4];
        bool cut = false;  // the rest of an over-long line
        while (fgets(line, sizeof(line), fp.get()) != nullptr) {
            const size_t len = strlen(line);
            const bool whole = len > 0 && line[len - 1] == '\n';
            const bool skip = cut;
            cut = !whole;
            uint16_t s[OAM_STAMP_FIELDS];
            if (skip || !whole || !oam_context_parse_stamp(line, s)) {
                continue;
            }
            const uint64_t key = ctx_key(s);
            if (key < since || key > until) {
                continue;
            }
            lines->append(line, len);
            ++*count;
            // The zone behind the stamp (+HHMM) is not there in older journals.
            const char *rest = line + 23 + (line[23] == '+' || line[23] == '-' ? 5 : 0);
            char core[8] = {};
            unsigned long long lost = 0;
            char unit[9] = {};
            if (sscanf(rest, " %7s lost %llu %8[a-z]", core, &lost, unit) == 3 &&
                strcmp(unit, "records") == 0) {
                for (ctx_core &c : cores) {
                    c.sec.lost += strcmp(c.sec.core, core) == 0 ? lost : 0;
                }
            }
        }
    }
}

// The core whose crash a dump type reports, by the name the daemon gives
// the type; "" for none.
const char *ctx_core_of_type(const char *name_prefix)
{
    static constexpr std::pair<const char *, const char *> OWNERS[] = {
        {"_wifi_", "wifi"}, {"_bfgx_", "bfg"}, {"_me_", "me"}};
    for (const auto &[part, core] : OWNERS) {
        if (strstr(name_prefix, part) != nullptr) {
            return core;
        }
    }
    return "";
}

const char *ctx_dir()
{
    return g_memdump_type_table[0].path;
}

int ctx_tmp_path(int which, char *out, size_t cap)
{
    const int n = snprintf(out, cap, "%s/%s%s", g_memdump_type_table[which].path,
                           g_memdump_type_table[which].name_prefix, OAM_CONTEXT_TMP_SUFFIX);
    return n > 0 && static_cast<size_t>(n) < cap ? 0 : -1;
}

// "X.tar.gz" -> "X.context"; -1 for any other name.
int ctx_name_of_archive(const char *archive, char *out, size_t cap)
{
    const size_t len = strlen(archive);
    const size_t suffix = strlen(MEMDUMP_CONTEXT_ARCHIVE_SUFFIX);
    if (len <= suffix || strcmp(archive + len - suffix, MEMDUMP_CONTEXT_ARCHIVE_SUFFIX) != 0) {
        return -1;
    }
    const int n = snprintf(out, cap, "%.*s%s", static_cast<int>(len - suffix), archive, OAM_CONTEXT_SUFFIX);
    return n > 0 && static_cast<size_t>(n) < cap ? 0 : -1;
}

// Taken at start-up, before the dump threads: whether each core's records
// are stored (a chip without an me core has its folder, never its files).
bool g_ctx_core_on[OAM_J_CORES];

}  // namespace

void memdump_context_init()
{
    int32_t v = 0;
    if (get_cust_conf_int32(INI_TAG_HOST_PLAT, MEMDUMP_CONTEXT_SECONDS_VAR, &v) == 0) {
        if (v < 0 || v > MEMDUMP_CONTEXT_SECONDS_MAX) {
            OAM_WARN("[%s:%d]%s=%d out of 0..%d: no dump context kept\n", MEMDUMP_CONTEXT_SECONDS_VAR, v,
                      MEMDUMP_CONTEXT_SECONDS_MAX);
            v = 0;
        }
        g_memdump_context_seconds = v;
    }
    if (get_cust_conf_int32(INI_TAG_HOST_PLAT, MEMDUMP_CONTEXT_MAX_KIB_VAR, &v) == 0) {
        if (v < 1 || v > MEMDUMP_CONTEXT_MAX_KIB_MAX) {
            OAM_WARN("[%s:%d]%s=%d out of 1..%d: %d taken\n", MEMDUMP_CONTEXT_MAX_KIB_VAR, v,
                      MEMDUMP_CONTEXT_MAX_KIB_MAX, MEMDUMP_CONTEXT_MAX_KIB_DEFAULT);
            v = MEMDUMP_CONTEXT_MAX_KIB_DEFAULT;
        }
        g_memdump_context_max_kib = v;
    }
    g_ctx_core_on[OAM_J_WIFI] = g_st_global.st_wifi_log.log_switch.value == 1;
    g_ctx_core_on[OAM_J_BFG] = g_st_global.st_bfg_log.log_switch.value == 1;
    g_ctx_core_on[OAM_J_ME] = g_st_global.st_me_log.log_switch.value == 1 && g_st_global.me_fd > 0;
    // Before the dump threads run: what a stop left half written, and a
    // context whose archive is gone, are removed.
    memdump_context_sweep(nullptr);
}

void memdump_context_sweep(const char *name_prefix)
{
    std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir(ctx_dir()), closedir);
    if (!dir) {
        return;
    }
    const int dfd = dirfd(dir.get());
    const size_t prefix_len = name_prefix != nullptr ? strlen(name_prefix) : 0;
    for (const dirent *ent = readdir(dir.get()); ent != nullptr; ent = readdir(dir.get())) {
        const char *name = ent->d_name;
        const size_t len = strlen(name);
        const size_t tmp_len = strlen(OAM_CONTEXT_TMP_SUFFIX);
        const size_t ctx_len = strlen(OAM_CONTEXT_SUFFIX);
        if (name_prefix != nullptr && (strncmp(name, name_prefix, prefix_len) != 0 || name[prefix_len] != '_')) {
            continue;
        }
        bool remove = false;
        const size_t archive_tmp_len = sizeof(TAR_ARCHIVE_TMP_END) - 1;
        if (name_prefix == nullptr && ((len > tmp_len && strcmp(name + len - tmp_len, OAM_CONTEXT_TMP_SUFFIX) == 0) ||
                                       (len > archive_tmp_len &&
                                        strcmp(name + len - archive_tmp_len, TAR_ARCHIVE_TMP_END) == 0))) {
            remove = true;
        } else if (len > ctx_len && strcmp(name + len - ctx_len, OAM_CONTEXT_SUFFIX) == 0) {
            char archive[CTX_NAME_LEN];
            struct stat st {};
            remove = snprintf(archive, sizeof(archive), "%.*s%s", static_cast<int>(len - ctx_len), name,
                              MEMDUMP_CONTEXT_ARCHIVE_SUFFIX) < static_cast<int>(sizeof(archive)) &&
                     fstatat(dfd, archive, &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
        }
        if (remove && unlinkat(dfd, name, 0) != 0) {
            OAM_ERR("[%s:%d]unlink %s error:%s\n", name, strerror(errno));
        }
    }
}

int memdump_context_write(int which)
{
    timespec now {};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    return memdump_context_write_at(which, now);
}

int memdump_context_write_at(int which, const timespec &now)
{
    if (g_memdump_context_seconds <= 0 || which < 0 || which >= OAM_MEMDUMP_TYPE_NUM) {
        return 0;
    }
    const uint64_t until = ctx_key_of_time(now.tv_sec, now.tv_nsec / 1000000);
    const uint64_t since = ctx_key_of_time(now.tv_sec - g_memdump_context_seconds, now.tv_nsec / 1000000);
    const uint64_t window_ms = static_cast<uint64_t>(g_memdump_context_seconds) * 1000;
    const char *crashed = ctx_core_of_type(g_memdump_type_table[which].name_prefix);

    struct core_log {
        oam_jcore core;
        const char *name;
        const oam_log_desc *log;
    };
    const core_log logs[] = {{OAM_J_WIFI, "wifi", &g_st_global.st_wifi_log},
                             {OAM_J_BFG, "bfg", &g_st_global.st_bfg_log},
                             {OAM_J_ME, "me", &g_st_global.st_me_log}};
    std::vector<ctx_core> cores;
    for (const core_log &l : logs) {
        if (!g_ctx_core_on[l.core]) {
            continue;
        }
        cores.emplace_back();
        ctx_core &c = cores.back();
        c.sec = {};
        (void)snprintf(c.sec.core, sizeof(c.sec.core), "%s", l.name);
        ctx_open_files(l.log, since, &c);
        ctx_find_window(&c, window_ms, until);
    }
    // The crashing core's records go first, the others' newest in what is
    // left.
    std::vector<ctx_core *> own;
    std::vector<ctx_core *> others;
    for (ctx_core &c : cores) {
        (strcmp(c.sec.core, crashed) == 0 ? own : others).push_back(&c);
    }
    const uint64_t bound = static_cast<uint64_t>(g_memdump_context_max_kib) * 1024;
    (void)ctx_bound(others, bound - ctx_bound(own, bound));
    std::string events;
    uint64_t event_count = 0;
    ctx_journal_lines(since, until, &events, &event_count, cores);

    char path[CTX_NAME_LEN];
    if (ctx_tmp_path(which, path, sizeof(path)) != 0) {
        return -1;
    }
    // Whatever is put there in the place of the file (a FIFO above all)
    // must not hold the dump thread: the dump goes on without its context.
    struct stat st {};
    ctx_fd out(oam_open_regular(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0664, &st));
    if (out.fd < 0) {
        OAM_ERR("[%s:%d]open %s error:%s\n", path, out.fd == -2 ? "not a regular file" : strerror(errno));
        if (out.fd == -2) {
            (void)unlink(path);  // never to be taken for the archive's context
        }
        return -1;
    }
    char line[OAM_CONTEXT_LINE_LEN];
    char reported[32];
    struct tm local {};
    (void)oam_local_time(now.tv_sec, &local);
    const uint16_t s[OAM_STAMP_FIELDS] = {
        static_cast<uint16_t>(local.tm_year + 1900), static_cast<uint16_t>(local.tm_mon + 1),
        static_cast<uint16_t>(local.tm_mday),        static_cast<uint16_t>(local.tm_hour),
        static_cast<uint16_t>(local.tm_min),         static_cast<uint16_t>(local.tm_sec),
        static_cast<uint16_t>(now.tv_nsec / 1000000)};
    (void)oam_context_stamp_text(reported, sizeof(reported), s, true);
    int n = snprintf(line, sizeof(line), "oam dump context: %d s before %s\n", g_memdump_context_seconds, reported);
    bool ok = n > 0 && oam_write_all(out.fd, line, static_cast<size_t>(n)) == 0;
    for (const ctx_core &c : cores) {
        n = oam_context_format(line, sizeof(line), c.sec);
        ok = ok && n > 0 && oam_write_all(out.fd, line, static_cast<size_t>(n)) == 0 &&
             ctx_copy_window(c, out.fd) == 0;
    }
    n = snprintf(line, sizeof(line), "events: %llu lines, %zu bytes\n", static_cast<unsigned long long>(event_count),
                 events.size());
    ok = ok && n > 0 && oam_write_all(out.fd, line, static_cast<size_t>(n)) == 0 &&
         oam_write_all(out.fd, events.data(), events.size()) == 0 && fsync(out.fd) == 0;
    if (!ok) {
        OAM_ERR("[%s:%d]dump context %s not written:%s\n", path, strerror(errno));
        (void)unlink(path);
        return -1;
    }
    return 0;
}

void memdump_context_archived(int which, const char *archive_name, bool written)
{
    char tmp[CTX_NAME_LEN];
    char name[CTX_NAME_LEN];
    char final_path[CTX_NAME_LEN * 2];
    if (which < 0 || which >= OAM_MEMDUMP_TYPE_NUM || ctx_tmp_path(which, tmp, sizeof(tmp)) != 0 ||
        access(tmp, F_OK) != 0) {
        return;
    }
    // Never kept without its archive.
    if (!written || ctx_name_of_archive(archive_name, name, sizeof(name)) != 0 ||
        snprintf(final_path, sizeof(final_path), "%s/%s", g_memdump_type_table[which].path, name) >=
            static_cast<int>(sizeof(final_path)) ||
        rename(tmp, final_path) != 0) {
        (void)unlink(tmp);
        return;
    }
    (void)oam_sync_dir_of(final_path);
}

void memdump_context_follow(const char *archive_from, const char *archive_to)
{
    char from[CTX_NAME_LEN];
    char to[CTX_NAME_LEN];
    if (ctx_name_of_archive(archive_from, from, sizeof(from)) != 0) {
        return;
    }
    // With the archive gone, or moved where no context name can follow it,
    // its context goes too.
    if (archive_to == nullptr || ctx_name_of_archive(archive_to, to, sizeof(to)) != 0) {
        if (unlink(from) != 0 && errno != ENOENT) {
            OAM_ERR("[%s:%d]unlink error:%s!\n", strerror(errno));
        }
        return;
    }
    if (rename(from, to) != 0 && errno != ENOENT) {
        OAM_ERR("[%s:%d]rename: %s ==> %s fail:errno:%s\n", from, to, strerror(errno));
    }
}
