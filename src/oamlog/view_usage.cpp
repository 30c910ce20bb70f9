// --disk-usage: what each core's log files, the dump archives and the
// journal take of the log file system, how much history that holds, and
// the budget the daemon's INI files of that root set for it.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "common/oam_driver.h"
#include "common/oam_file.h"
#include "common/oam_print_levels.h"
#include "config/ini.h"
#include "config/ini_internal.h"
#include "oamlog/read_source.h"
#include "oamlog/read_stamp.h"
#include "oamlog/read_zst.h"
#include "oamlog/reader_status.h"
#include "oamlog/timeline.h"
#include "oamlog/view_tables.h"

namespace {

struct oamlog_usage_row {
    std::string core;
    size_t files;
    uint64_t disk;     // bytes the files take
    uint64_t content;  // their bytes once decompressed
    uint16_t first[OAM_STAMP_FIELDS];
    uint16_t last[OAM_STAMP_FIELDS];
    bool first_ok;
    bool last_ok;
    // Their offsets and places on the time line.
    int first_off;
    int last_off;
    uint64_t first_key;
    uint64_t last_key;
};

// The first good stamp of the source's files from file index from on (up
// to, but without, file index to).
bool oamlog_usage_stamp(const oamlog_source &src, size_t from, size_t to, bool want_last, uint16_t *stamp, int *off,
                        uint64_t *key)
{
    oamlog_source probe{};
    probe.core = src.core;
    probe.quiet = true;
    probe.files.assign(src.files.begin() + static_cast<std::ptrdiff_t>(from),
                       src.files.begin() + static_cast<std::ptrdiff_t>(to));
    bool found = false;
    oamlog_rec rec{};
    while (oamlog_next_placed(&probe, &rec) > 0) {
        if (rec.stamp_ok) {
            memcpy(stamp, rec.stamp, sizeof(rec.stamp));
            *off = rec.utc_off;
            *key = rec.key;
            found = true;
            if (!want_last) {
                break;
            }
        }
    }
    return found;
}

time_t oamlog_usage_time(const uint16_t *s)
{
    struct tm local {};
    return oamlog_stamp_mktime(s, &local);
}

// Milliseconds from the first to the last stamp; 0 without both.
uint64_t oamlog_usage_span(const oamlog_usage_row &r)
{
    if (!r.first_ok || !r.last_ok) {
        return 0;
    }
    const long long ms = (static_cast<long long>(oamlog_usage_time(r.last)) - oamlog_usage_time(r.first)) * 1000 +
                         r.last[OAM_STAMP_MSEC] - r.first[OAM_STAMP_MSEC];
    return ms > 0 ? static_cast<uint64_t>(ms) : 0;
}

std::string oamlog_usage_stamp_text(const uint16_t *s, bool ok, char sep)
{
    if (!ok) {
        return "-";
    }
    char text[48];
    (void)snprintf(text, sizeof(text), "%04u-%02u-%02u%c%02u:%02u:%02u.%03u", s[0], s[1], s[2], sep, s[3], s[4], s[5],
                   s[6]);
    return text;
}

// The regular files of dir whose name begins with lead and ends with tail.
void oamlog_usage_count(const std::string &dir, std::string_view lead, std::string_view tail, size_t *files,
                        uint64_t *bytes)
{
    *files = 0;
    *bytes = 0;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        return;
    }
    for (const dirent *ent = readdir(d); ent != nullptr; ent = readdir(d)) {
        const std::string_view name = ent->d_name;
        struct stat st {};
        if (name.starts_with(lead) && name.ends_with(tail) && !name.ends_with(".tmp") &&
            lstat((dir + ent->d_name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            ++*files;
            *bytes += static_cast<uint64_t>(st.st_size);
        }
    }
    (void)closedir(d);
}

struct oamlog_budget_key {
    const char *name;
    const char *unit;
};

constexpr std::array<oamlog_budget_key, 5> OAMLOG_BUDGET_KEYS = {{
    {"log_keep_free", "MiB"},
    {"log_max_use", "MiB"},
    {"log_min_share_device_wifi", "%"},
    {"log_min_share_device_bfg", "%"},
    {"log_min_share_device_me", "%"},
}};

// The settings files of a log root, the customer's first as the daemon
// reads them: a bundle's (or a copy of one) in its ini folder; a root at
// PREFIX/vendor/log, those at PREFIX's place of the device's paths.
std::vector<std::string> oamlog_budget_files(const std::string &base)
{
    std::vector<std::string> files;
    struct stat st {};
    const std::string ini = base + "ini/";
    if (lstat(ini.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        files.push_back(ini + "cust_ini_cfg");
        DIR *d = opendir(ini.c_str());
        std::vector<std::string> names;
        for (const dirent *ent = d == nullptr ? nullptr : readdir(d); ent != nullptr; ent = readdir(d)) {
            if (ent->d_name[0] != '.' && strcmp(ent->d_name, "cust_ini_cfg") != 0) {
                names.emplace_back(ent->d_name);
            }
        }
        if (d != nullptr) {
            (void)closedir(d);
        }
        std::sort(names.begin(), names.end());
        for (const std::string &name : names) {
            files.push_back(ini + name);
        }
        return files;
    }
    const std::string_view log_root = std::string_view(OAM_LOG_ROOT_DIR);
    if (!std::string_view(base).ends_with(log_root)) {
        return files;  // a folder of logs alone: its settings are not known
    }
    const std::string prefix = base.substr(0, base.size() - log_root.size());
    files.push_back(prefix + OAM_INI_CUST_FILE);
    char published[256] = {};
    const int fd = oam_open_regular((prefix + OAM_INI_PATH_NODE).c_str(), O_RDONLY | O_NOCTTY, 0, &st);
    if (fd >= 0) {
        const ssize_t n = read(fd, published, sizeof(published) - 1);
        (void)close(fd);
        published[n > 0 ? n : 0] = '\0';
        published[strcspn(published, "\r\n \t")] = '\0';
        if (published[0] == '/') {
            files.push_back(prefix + published);
        }
    }
    return files;
}

// A budget key of those files, the first that sets it.
bool oamlog_budget_value(const std::vector<std::string> &files, const char *name, int32_t *value)
{
    for (const std::string &path : files) {
        char text[32] = {};
        char *end = nullptr;
        const bool found = access(path.c_str(), R_OK) == 0 &&
                           ini_find_var_value_by_path(path.c_str(), INI_TAG_HOST_PLAT, name, text, sizeof(text)) == 0;
        // The lookups' own diagnostics are the daemon's, not ours.
        oam_print_release(false);
        oam_print_hold();
        if (!found) {
            continue;
        }
        errno = 0;
        const long v = strtol(text, &end, 10);
        if (end != text && *end == '\0' && errno == 0 && v >= INT32_MIN && v <= INT32_MAX) {
            *value = static_cast<int32_t>(v);
            return true;
        }
    }
    return false;
}

}  // namespace

// Sizes as du -h gives them: powers of 1024, rounded up, one decimal
// below ten.
std::string oamlog_human(uint64_t bytes)
{
    constexpr std::string_view units = "KMGTPE";
    if (bytes < 1024) {
        return std::to_string(bytes);
    }
    size_t unit = 0;
    uint64_t scale = 1024;  // at most 1024^6 = 2^60
    while (unit + 1 < units.size() && bytes / scale >= 1024) {
        scale *= 1024;
        ++unit;
    }
    // bytes * times / by rounded up, without a product that could overflow:
    // the remainder is below by (at most 2^60), times at most 10.
    const auto up = [bytes](uint64_t by, unsigned times) {
        const uint64_t rest = bytes % by * times;
        return static_cast<unsigned long long>(bytes / by * times + rest / by + (rest % by != 0 ? 1 : 0));
    };
    if (up(scale, 1) >= 1024 && unit + 1 < units.size()) {
        scale *= 1024;  // 1023.9K rounds up to 1.0M
        ++unit;
    }
    char text[32];
    const unsigned long long tenths = up(scale, 10);
    if (tenths < 100) {
        (void)snprintf(text, sizeof(text), "%llu.%llu%c", tenths / 10, tenths % 10, units[unit]);
    } else {
        (void)snprintf(text, sizeof(text), "%llu%c", up(scale, 1), units[unit]);
    }
    return text;
}

int oamlog_disk_usage(FILE *out, const std::string &root, bool json)
{
    std::vector<oamlog_source> sources;
    if (oamlog_add_root(&sources, root, {}, false) != 0) {
        return OAMLOG_FAILED;
    }
    // The first and last records placed with the journal's offsets.
    oamlog_journal_load(root, {}, 0, UINT64_MAX, false);
    std::vector<oamlog_usage_row> rows;
    uint64_t all_disk = 0;
    for (oamlog_source &src : sources) {
        oamlog_open_files(&src);
        oamlog_usage_row r{src.core, src.files.size(), 0, 0, {}, {}, false, false, 0, 0, 0, 0};
        for (const oamlog_file &f : src.files) {
            struct stat st {};
            if (fstat(f.fd, &st) == 0) {
                r.disk += static_cast<uint64_t>(st.st_size);
                r.content += oamlog_zst_name(f.path) ? oamlog_zst_content_size(f.fd) : static_cast<uint64_t>(st.st_size);
            }
        }
        // The oldest record opens the span; the newest is in the newest
        // file that holds one.
        r.first_ok = oamlog_usage_stamp(src, 0, src.files.size(), false, r.first, &r.first_off, &r.first_key);
        for (size_t i = src.files.size(); i-- > 0 && !r.last_ok;) {
            r.last_ok = oamlog_usage_stamp(src, i, i + 1, true, r.last, &r.last_off, &r.last_key);
        }
        all_disk += r.disk;
        rows.push_back(r);
    }
    const std::string base = root.back() == '/' ? root : root + "/";
    // What the dumps keep beside their archives counts as much.
    struct other_row {
        const char *name;
        std::string dir;
        std::string_view lead;
        std::string_view tail;
        size_t files;
        uint64_t bytes;
    };
    std::array<other_row, 4> others = {{{"archives", base + "memdump/", "", ".tar.gz", 0, 0},
                                        {"contexts", base + "memdump/", "", ".context", 0, 0},
                                        {"regions", base + "memdump/", "", ".bin", 0, 0},
                                        {"journal", base, "oam_events", "", 0, 0}}};
    for (other_row &o : others) {
        oamlog_usage_count(o.dir, o.lead, o.tail, &o.files, &o.bytes);
    }
    struct statvfs vfs {};
    const bool have_vfs = statvfs(root.c_str(), &vfs) == 0;
    const auto ull = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    const uint64_t free_bytes = have_vfs ? static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize : 0;
    const uint64_t fs_bytes = have_vfs ? static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize : 0;
    // Within 80 columns: the last stamp is the first and the span.
    std::vector<std::vector<std::string>> table{
        {"core", "files", "size", "content", "ratio", "first", "span/s", "share"}};
    if (json) {
        (void)fputs("{\"cores\":[", out);
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        const oamlog_usage_row &r = rows[i];
        const uint64_t span = oamlog_usage_span(r);
        const double share = all_disk > 0 ? 100.0 * static_cast<double>(r.disk) / static_cast<double>(all_disk) : 0;
        char ratio[16] = "-";
        if (r.disk > 0) {
            (void)snprintf(ratio, sizeof(ratio), "%.2f", static_cast<double>(r.content) / static_cast<double>(r.disk));
        }
        if (json) {
            (void)fprintf(out,
                          "%s{\"core\":\"%s\",\"files\":%zu,\"bytes\":%llu,\"content\":%llu,\"ratio\":%s,"
                          "%s,%s,\"span\":%llu.%03llu,\"share\":%.1f}",
                          i > 0 ? "," : "", r.core.c_str(), r.files, ull(r.disk), ull(r.content),
                          r.disk > 0 ? ratio : "null",
                          oamlog_json_time("first", oamlog_stamp_ms(r.first), r.first_off, r.first_ok ? r.first_key : 0)
                              .c_str(),
                          oamlog_json_time("last", oamlog_stamp_ms(r.last), r.last_off, r.last_ok ? r.last_key : 0)
                              .c_str(),
                          ull(span / 1000), ull(span % 1000), share);
        } else {
            char span_text[32];
            char share_text[16];
            (void)snprintf(span_text, sizeof(span_text), "%llu.%03llu", ull(span / 1000), ull(span % 1000));
            (void)snprintf(share_text, sizeof(share_text), "%.1f%%", share);
            table.push_back({r.core, std::to_string(r.files), oamlog_human(r.disk), oamlog_human(r.content), ratio,
                             oamlog_usage_stamp_text(r.first, r.first_ok, ' '), span_text, share_text});
        }
    }
    if (json) {
        (void)fputs("]", out);
        for (const other_row &o : others) {
            (void)fprintf(out, ",\"%s\":{\"files\":%zu,\"bytes\":%llu}", o.name, o.files, ull(o.bytes));
        }
        (void)fputs(",", out);
        if (have_vfs) {
            (void)fprintf(out, "\"free\":%llu,\"size\":%llu,\"budget\":{", ull(free_bytes), ull(fs_bytes));
        } else {
            (void)fputs("\"free\":null,\"size\":null,\"budget\":{", out);
        }
    } else {
        for (const other_row &o : others) {
            table.push_back({o.name, std::to_string(o.files), oamlog_human(o.bytes)});
        }
        oamlog_table(out, table, "lrrrrlrr");
        if (have_vfs) {
            (void)fprintf(out, "free: %s of %s\n", oamlog_human(free_bytes).c_str(), oamlog_human(fs_bytes).c_str());
        } else {
            (void)fprintf(out, "free: unknown (%s)\n", strerror(errno));
        }
    }
    const std::vector<std::string> ini = oamlog_budget_files(base);
    if (!json && ini.empty()) {
        (void)fputs("settings: none known (no bundle's ini folder, not under .../vendor/log)\n", out);
    }
    for (size_t i = 0; i < OAMLOG_BUDGET_KEYS.size(); ++i) {
        const oamlog_budget_key &k = OAMLOG_BUDGET_KEYS[i];
        int32_t value = 0;
        const bool set = oamlog_budget_value(ini, k.name, &value);
        if (json) {
            (void)fprintf(out, set ? "%s\"%s\":%d" : "%s\"%s\":null", i > 0 ? "," : "", k.name, value);
        } else if (set) {
            (void)fprintf(out, "%s: %d %s\n", k.name, value, k.unit);
        } else {
            (void)fprintf(out, "%s: not set\n", k.name);
        }
    }
    if (json) {
        (void)fputs("}}\n", out);
    }
    return g_oamlog_status;
}
