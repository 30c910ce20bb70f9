// --disk-usage: what each core's log files, the dump archives and the
// journal take of the log file system, how much history that holds, and
// the budget the daemon's INI files set for it.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include "common/oam_print_levels.h"
#include "config/ini.h"
#include "oamlog/oamlog.h"

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
};

// The first good stamp of the source's files from file index from on (up
// to, but without, file index to).
bool oamlog_usage_stamp(const oamlog_source &src, size_t from, size_t to, bool want_last, uint16_t *stamp)
{
    oamlog_source probe{};
    probe.core = src.core;
    probe.quiet = true;
    probe.files.assign(src.files.begin() + static_cast<std::ptrdiff_t>(from),
                       src.files.begin() + static_cast<std::ptrdiff_t>(to));
    bool found = false;
    oamlog_rec rec{};
    while (oamlog_next(&probe, &rec) > 0) {
        if (rec.stamp_ok) {
            memcpy(stamp, rec.stamp, sizeof(rec.stamp));
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

// A budget key as the daemon reads it (the customer's file first, then the
// published one); the lookups' own diagnostics are the daemon's, not ours.
bool oamlog_budget_value(const char *name, int32_t *value)
{
    const bool set = get_cust_conf_int32(INI_TAG_HOST_PLAT, name, value) == 0;
    oam_print_release(false);
    oam_print_hold();
    return set;
}

}  // namespace

int oamlog_disk_usage(FILE *out, const std::string &root, bool json)
{
    std::vector<oamlog_source> sources;
    if (oamlog_add_root(&sources, root, {}, false) != 0) {
        return OAMLOG_FAILED;
    }
    std::vector<oamlog_usage_row> rows;
    uint64_t all_disk = 0;
    for (oamlog_source &src : sources) {
        oamlog_open_files(&src);
        oamlog_usage_row r{src.core, src.files.size(), 0, 0, {}, {}, false, false};
        for (const oamlog_file &f : src.files) {
            struct stat st {};
            if (fstat(f.fd, &st) == 0) {
                r.disk += static_cast<uint64_t>(st.st_size);
                r.content += oamlog_zst_name(f.path) ? oamlog_zst_content_size(f.fd) : static_cast<uint64_t>(st.st_size);
            }
        }
        // The oldest record opens the span; the newest is in the newest
        // file that holds one.
        r.first_ok = oamlog_usage_stamp(src, 0, src.files.size(), false, r.first);
        for (size_t i = src.files.size(); i-- > 0 && !r.last_ok;) {
            r.last_ok = oamlog_usage_stamp(src, i, i + 1, true, r.last);
        }
        all_disk += r.disk;
        rows.push_back(r);
    }
    const std::string base = root.back() == '/' ? root : root + "/";
    size_t archives = 0;
    uint64_t archive_bytes = 0;
    size_t journals = 0;
    uint64_t journal_bytes = 0;
    oamlog_usage_count(base + "memdump/", "", ".tar.gz", &archives, &archive_bytes);
    oamlog_usage_count(base, "oam_events", "", &journals, &journal_bytes);
    struct statvfs vfs {};
    const bool have_vfs = statvfs(root.c_str(), &vfs) == 0;
    const auto ull = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    const uint64_t free_bytes = have_vfs ? static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize : 0;
    const uint64_t fs_bytes = have_vfs ? static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize : 0;
    if (json) {
        (void)fputs("{\"cores\":[", out);
    } else {
        (void)fprintf(out, "%-8s %5s %12s %12s %6s %-23s %-23s %12s %6s\n", "core", "files", "bytes", "content",
                      "ratio", "first", "last", "span/s", "share");
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
            const std::string first = oamlog_usage_stamp_text(r.first, r.first_ok, 'T');
            const std::string last = oamlog_usage_stamp_text(r.last, r.last_ok, 'T');
            (void)fprintf(out,
                          "%s{\"core\":\"%s\",\"files\":%zu,\"bytes\":%llu,\"content\":%llu,\"ratio\":%s,"
                          "\"first\":%s,\"last\":%s,\"span\":%llu.%03llu,\"share\":%.1f}",
                          i > 0 ? "," : "", r.core.c_str(), r.files, ull(r.disk), ull(r.content),
                          r.disk > 0 ? ratio : "null", r.first_ok ? ("\"" + first + "\"").c_str() : "null",
                          r.last_ok ? ("\"" + last + "\"").c_str() : "null", ull(span / 1000), ull(span % 1000), share);
        } else {
            (void)fprintf(out, "%-8s %5zu %12llu %12llu %6s %-23s %-23s %8llu.%03llu %5.1f%%\n", r.core.c_str(), r.files,
                          ull(r.disk), ull(r.content), ratio, oamlog_usage_stamp_text(r.first, r.first_ok, ' ').c_str(),
                          oamlog_usage_stamp_text(r.last, r.last_ok, ' ').c_str(), ull(span / 1000), ull(span % 1000),
                          share);
        }
    }
    if (json) {
        (void)fprintf(out, "],\"archives\":{\"files\":%zu,\"bytes\":%llu},\"journal\":{\"files\":%zu,\"bytes\":%llu},",
                      archives, ull(archive_bytes), journals, ull(journal_bytes));
        if (have_vfs) {
            (void)fprintf(out, "\"free\":%llu,\"size\":%llu,\"budget\":{", ull(free_bytes), ull(fs_bytes));
        } else {
            (void)fputs("\"free\":null,\"size\":null,\"budget\":{", out);
        }
    } else {
        (void)fprintf(out, "%-8s %5zu %12llu\n%-8s %5zu %12llu\n", "archives", archives, ull(archive_bytes), "journal",
                      journals, ull(journal_bytes));
        if (have_vfs) {
            (void)fprintf(out, "free: %llu of %llu bytes\n", ull(free_bytes), ull(fs_bytes));
        } else {
            (void)fprintf(out, "free: unknown (%s)\n", strerror(errno));
        }
    }
    for (size_t i = 0; i < OAMLOG_BUDGET_KEYS.size(); ++i) {
        const oamlog_budget_key &k = OAMLOG_BUDGET_KEYS[i];
        int32_t value = 0;
        const bool set = oamlog_budget_value(k.name, &value);
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
