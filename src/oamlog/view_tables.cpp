// The tables: --stats, --dumps, --list-boots and the losses of --check.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>

#include "oamlog/read_dump.h"
#include "oamlog/read_journal.h"
#include "oamlog/read_source.h"
#include "oamlog/read_stamp.h"
#include "oamlog/reader_status.h"
#include "oamlog/timeline.h"
#include "oamlog/view_print.h"
#include "oamlog/view_tables.h"

void oamlog_list_boots(FILE *out, bool json, bool utc)
{
    const auto n = static_cast<long>(g_oamlog_boots.size());
    int width = 1;
    for (const oamlog_boot_info &b : g_oamlog_boots) {
        width = std::max(width, static_cast<int>(oamlog_name_text(b.id.c_str()).size()));
    }
    for (long i = 0; i < n; ++i) {
        const oamlog_boot_info &b = g_oamlog_boots[static_cast<size_t>(i)];
        char first[48];
        char last[48];
        // Shown in the offset of the boot's first line and last line.
        oamlog_show_key(first, sizeof(first), b.first, b.first_off, utc, json);
        oamlog_show_key(last, sizeof(last), b.last, b.last_off, utc, json);
        const std::string id = b.id.empty() ? "-" : oamlog_name_text(b.id.c_str());
        if (json) {
            (void)fprintf(out, "{\"boot\":%ld,\"id\":%s,%s,%s,\"unclean_end\":%s}\n", i - (n - 1),
                          b.id.empty() ? "null" : oamlog_json_text(b.id.c_str()).c_str(),
                          oamlog_json_key_time("first", b.first, b.first_off).c_str(),
                          oamlog_json_key_time("last", b.last, b.last_off).c_str(), b.unclean > 0 ? "true" : "false");
        } else {
            (void)fprintf(out, "%3ld %-*s %s  %s%s\n", i - (n - 1), width, id.c_str(), first, last,
                          b.unclean > 0 ? "  unclean end" : "");
        }
    }
}

void oamlog_list_unclean(FILE *out, bool json, uint64_t since, uint64_t until)
{
    const auto n = static_cast<long>(g_oamlog_boots.size());
    for (long i = 0; i < n; ++i) {
        const oamlog_boot_info &b = g_oamlog_boots[static_cast<size_t>(i)];
        if (b.unclean == 0 || (g_oamlog_boot_pick >= 0 && i != g_oamlog_boot_pick)) {
            continue;
        }
        // Where the latest run that ended uncleanly wrote its last line.
        const oamlog_period &p = g_oamlog_periods[static_cast<size_t>(b.unclean_period)];
        const uint64_t key = oamlog_key_of_ms(p.last - static_cast<int64_t>(p.off) * 60000 + p.shift);
        if (key < since || key > until) {
            continue;
        }
        char last[48];
        oamlog_show_key(last, sizeof(last), key, p.off, false, json);
        const std::string id = b.id.empty() ? "-" : oamlog_name_text(b.id.c_str());
        if (json) {
            (void)fprintf(out, "{\"boot\":%ld,\"id\":%s,\"unclean_end\":true,\"runs\":%u,%s}\n", i - (n - 1),
                          b.id.empty() ? "null" : oamlog_json_text(b.id.c_str()).c_str(), b.unclean,
                          oamlog_json_key_time("last", key, p.off).c_str());
        } else {
            (void)fprintf(out, "unclean end: boot %ld %s, %u run%s, the last one's last line %s\n", i - (n - 1),
                          id.c_str(), b.unclean, b.unclean == 1 ? "" : "s", last);
        }
    }
}

void oamlog_check_summary(FILE *out, size_t files, uint64_t records, bool json)
{
    const auto ull = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    if (json) {
        (void)fprintf(out, "{\"files\":%zu,\"records\":%llu,\"damaged\":%llu}\n", files, ull(records),
                      ull(g_oamlog_damage_count));
    } else {
        (void)fprintf(out, "%zu files, %llu records, %llu damaged spots\n", files, ull(records),
                      ull(g_oamlog_damage_count));
    }
}

void oamlog_check_losses(FILE *out, bool json)
{
    oamlog_print_opts opts{json ? OAMLOG_JSON : OAMLOG_TEXT, false};
    for (const oamlog_event &ev : g_oamlog_events) {
        if (ev.event == "lost") {
            (void)fputs(json ? "" : "journal: ", out);
            oamlog_print_event(out, opts, ev);
        }
    }
}

void oamlog_stats(FILE *out, std::vector<oamlog_source> &sources, bool json, uint64_t since, uint64_t until)
{
    struct row {
        std::string core;
        size_t files;
        uint64_t records, bytes, first, last, peak, lost, overruns, damaged;
        // The first and last records' places on the time line and offsets.
        uint64_t first_key, last_key;
        int first_off, last_off;
    };
    std::vector<row> rows;
    size_t core_width = 4;
    for (oamlog_source &src : sources) {
        src.quiet = true;
        row r{src.core, src.files.size(), 0, 0, 0, 0, 0,
              oamlog_journal_lost(src.core, false), oamlog_journal_lost(src.core, true), 0, 0, 0, 0, 0};
        uint64_t second = UINT64_MAX;
        uint64_t in_second = 0;
        int good_off = 0;  // of the last good stamp, which a bad one is shown as
        oamlog_rec rec{};
        while (oamlog_next_placed(&src, &rec) > 0) {
            good_off = rec.stamp_ok ? rec.utc_off : good_off;
            if (!oamlog_selected(rec.key, rec.boot, since, until)) {
                continue;
            }
            // Shown as stamped.
            if (r.records == 0) {
                r.first = rec.local;
                r.first_key = rec.local != 0 ? rec.key : 0;
                r.first_off = good_off;
            }
            r.last = rec.local;
            r.last_key = rec.local != 0 ? rec.key : 0;
            r.last_off = good_off;
            ++r.records;
            r.bytes += rec.rec_len;
            in_second = rec.key / 1000 == second ? in_second + 1 : 1;
            second = rec.key / 1000;
            r.peak = std::max(r.peak, in_second);
        }
        r.damaged = src.damaged;
        // A core the chip does not have: its folder is there, empty.
        if (r.files == 0 && r.lost == 0 && r.overruns == 0) {
            continue;
        }
        core_width = std::max(core_width, oamlog_name_text(r.core.c_str()).size());
        rows.push_back(r);
    }
    if (!json) {
        (void)fprintf(out, "%-*s %5s %9s %11s %-23s %-23s %6s %9s %9s %7s\n", static_cast<int>(core_width), "core",
                      "files", "records", "bytes", "first", "last", "peak/s", "lost", "overruns", "damaged");
    }
    for (const row &r : rows) {
        // A first record without a good stamp before it has no time.
        char first[32] = "-";
        char last[32] = "-";
        if (r.first != 0) {
            oamlog_key_text(first, sizeof(first), r.first, json ? 'T' : ' ');
        }
        if (r.last != 0) {
            oamlog_key_text(last, sizeof(last), r.last, json ? 'T' : ' ');
        }
        const auto ull = [](uint64_t v) { return static_cast<unsigned long long>(v); };
        if (json) {
            (void)fprintf(out,
                          "{\"core\":%s,\"files\":%zu,\"records\":%llu,\"bytes\":%llu,%s,%s,"
                          "\"peak\":%llu,\"lost\":%llu,\"overruns\":%llu,\"damaged\":%llu}\n",
                          oamlog_json_text(r.core.c_str()).c_str(), r.files, ull(r.records), ull(r.bytes),
                          oamlog_json_time("first", oamlog_local_key_ms(r.first), r.first_off, r.first_key).c_str(),
                          oamlog_json_time("last", oamlog_local_key_ms(r.last), r.last_off, r.last_key).c_str(),
                          ull(r.peak), ull(r.lost), ull(r.overruns), ull(r.damaged));
        } else {
            (void)fprintf(out, "%-*s %5zu %9llu %11llu %-23s %-23s %6llu %9llu %9llu %7llu\n",
                          static_cast<int>(core_width), oamlog_name_text(r.core.c_str()).c_str(), r.files, ull(r.records), ull(r.bytes), first,
                          last, ull(r.peak), ull(r.lost), ull(r.overruns), ull(r.damaged));
        }
    }
    oamlog_list_unclean(out, json, since, until);
}

namespace {

// A row of --dumps as JSON: what its text tells in the state, as fields.
void oamlog_dump_json(FILE *out, uint64_t reported, const oamlog_event *report, const std::string &core,
                      const std::string &type, long long size, const std::string &name, bool context,
                      const oamlog_tar_state &tar, const oamlog_event *outcome)
{
    // A time told by the name alone is this machine's, as --dump takes it.
    const int64_t local = oamlog_local_key_ms(reported);
    const int off = report != nullptr ? report->off : oamlog_guess_offset(local);
    const uint64_t key = report != nullptr ? report->key : oamlog_key_of_ms(local - off * 60000LL);
    const char *state = !tar.gzip              ? "not-gzip"
                        : tar.damaged_at != 0 ? "damaged"
                        : tar.complete        ? "complete"
                                              : "incomplete";
    std::string reason = "null";
    if (outcome != nullptr) {
        state = outcome->event.c_str();
        // "TYPE: why" or "TYPE at stop": what follows the type.
        std::string why = outcome->detail.substr(std::min(outcome->detail.size(), type.size()));
        why.erase(0, why.find_first_not_of(": "));
        reason = oamlog_json_text(why.c_str());
    }
    const bool archived = !name.empty();
    (void)fprintf(out,
                  "{%s,\"core\":%s,\"type\":%s,\"archive\":%s,\"bytes\":%s,\"members\":%s,\"state\":\"%s\","
                  "\"damaged_member\":%s,\"reason\":%s,\"context\":%s}\n",
                  oamlog_json_time("time", local, off, key).c_str(), oamlog_json_text(core.c_str()).c_str(),
                  oamlog_json_text(type.c_str()).c_str(), archived ? oamlog_json_text(name.c_str()).c_str() : "null",
                  archived && size >= 0 ? std::to_string(size).c_str() : "null",
                  archived && tar.gzip ? std::to_string(tar.members).c_str() : "null", state,
                  tar.damaged_at != 0 ? std::to_string(tar.damaged_at).c_str() : "null", reason.c_str(),
                  context ? "true" : "false");
}

}  // namespace

int oamlog_dumps(FILE *out, const std::string &root, bool json)
{
    const std::string dir = (root.empty() || root.back() == '/' ? root : root + "/") + "memdump/";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        oamlog_error("%s: %s", oamlog_name_text(dir.c_str()).c_str(), strerror(errno));
        return OAMLOG_FAILED;
    }
    struct listed {
        uint64_t reported;
        std::string core;
        std::string type;
        long long size;  // -1: no archive
        std::string state;
        std::string name;
        bool context;  // a context file is kept beside the archive
        oamlog_tar_state tar;
        const oamlog_event *report;   // null: the time is the name's
        const oamlog_event *outcome;  // a dump's end other than saved, or null
    };
    std::vector<listed> rows;
    std::vector<const oamlog_event *> archived;
    for (const dirent *ent = readdir(d); ent != nullptr; ent = readdir(d)) {
        std::string type;
        uint64_t key = 0;
        uint64_t done = 0;
        const oamlog_event *report = nullptr;
        if (!oamlog_archive_name(ent->d_name, &type, &key) || !oamlog_dump_times(ent->d_name, &key, &done, &report)) {
            continue;
        }
        const char *core = type.find("wifi") != std::string::npos ? "wifi"
                           : type.find("bfgx") != std::string::npos ? "bfg"
                           : type.find("_me_") != std::string::npos ? "me"
                                                                    : "-";
        struct stat st {};
        const std::string path = dir + ent->d_name;
        const long long size = lstat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
        oamlog_tar_state tar{0, 0, true, false};
        if (size >= 0 && S_ISREG(st.st_mode)) {
            tar = oamlog_tar_members(path);
        }
        std::string state = std::to_string(tar.members) + " members, ";
        if (!tar.gzip) {
            state = "not a gzip file";
        } else if (tar.damaged_at != 0) {
            state += "damaged at member " + std::to_string(tar.damaged_at);
        } else {
            state += tar.complete ? "complete" : "incomplete";
        }
        const oamlog_event *outcome = report != nullptr ? oamlog_dump_outcome(report) : nullptr;
        if (outcome != nullptr && outcome->event != "dump-saved") {
            state = outcome->event + outcome->detail.substr(report->detail.size());
        }
        archived.push_back(report);
        struct stat ctx {};
        const std::string ctx_path = oamlog_context_path(root, ent->d_name);
        const bool context = !ctx_path.empty() && lstat(ctx_path.c_str(), &ctx) == 0 && S_ISREG(ctx.st_mode);
        rows.push_back({key, core, type, size, state, ent->d_name, context, tar, report,
                        outcome != nullptr && outcome->event != "dump-saved" ? outcome : nullptr});
    }
    (void)closedir(d);
    // A dump that ended without an archive is a line of its own.
    for (const oamlog_event &ev : g_oamlog_events) {
        const oamlog_event *outcome = ev.event == "dump-reported" ? oamlog_dump_outcome(&ev) : nullptr;
        if (outcome != nullptr && outcome->event != "dump-saved" &&
            std::find(archived.begin(), archived.end(), &ev) == archived.end()) {
            rows.push_back({oamlog_stamp_key(ev.stamp), ev.core, ev.detail, -1,
                            outcome->event + outcome->detail.substr(ev.detail.size()), "", false,
                            {0, 0, false, false}, &ev, outcome});
        }
    }
    std::sort(rows.begin(), rows.end(), [](const listed &a, const listed &b) {
        return a.reported < b.reported || (a.reported == b.reported && a.name < b.name);
    });
    for (const listed &r : rows) {
        char stamp[32];
        oamlog_key_text(stamp, sizeof(stamp), r.reported, json ? 'T' : ' ');
        if (json) {
            oamlog_dump_json(out, r.reported, r.report, r.core, r.type, r.size, r.name, r.context, r.tar, r.outcome);
        } else if (r.name.empty()) {
            (void)fprintf(out, "%s %-4s %s no archive: %s\n", stamp, oamlog_name_text(r.core.c_str()).c_str(),
                         oamlog_name_text(r.type.c_str()).c_str(), oamlog_name_text(r.state.c_str()).c_str());
        } else {
            (void)fprintf(out, "%s %-4s %s %lld bytes, %s  %s%s\n", stamp, oamlog_name_text(r.core.c_str()).c_str(),
                         oamlog_name_text(r.type.c_str()).c_str(), r.size, oamlog_name_text(r.state.c_str()).c_str(),
                         oamlog_name_text(r.name.c_str()).c_str(), r.context ? "  with context" : "");
        }
    }
    return OAMLOG_OK;
}

