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
#include "oamlog/view_grep.h"
#include "oamlog/view_print.h"
#include "oamlog/view_tables.h"

void oamlog_table(FILE *out, const std::vector<std::vector<std::string>> &rows, const char *align)
{
    std::vector<size_t> width;
    for (const std::vector<std::string> &row : rows) {
        width.resize(std::max(width.size(), row.size()));
        for (size_t i = 0; i < row.size(); ++i) {
            width[i] = std::max(width[i], row[i].size());
        }
    }
    for (const std::vector<std::string> &row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            const size_t pad = width[i] - row[i].size();
            const bool left = align[i] == 'l';
            line.append(i > 0 ? 1 : 0, ' ');
            line.append(left ? 0 : pad, ' ');
            line += row[i];
            // The last column is not padded out.
            line.append(left && i + 1 < row.size() ? pad : 0, ' ');
        }
        line.push_back('\n');
        (void)fputs(line.c_str(), out);
    }
}

void oamlog_list_boots(FILE *out, bool json, bool utc)
{
    const auto n = static_cast<long>(g_oamlog_boots.size());
    // Ids shortened, as far as they stay apart (--boot takes the start of
    // one), so that a line fits 80 columns.
    size_t keep = 8;
    for (bool apart = false; !apart;) {
        apart = true;
        for (size_t i = 0; i < g_oamlog_boots.size() && apart; ++i) {
            for (size_t j = i + 1; j < g_oamlog_boots.size() && apart; ++j) {
                const std::string &a = g_oamlog_boots[i].id;
                const std::string &b = g_oamlog_boots[j].id;
                apart = a == b || a.compare(0, keep, b, 0, keep) != 0;
            }
        }
        keep += apart ? 0 : 1;
    }
    int width = 1;
    for (const oamlog_boot_info &b : g_oamlog_boots) {
        width = std::max(width, static_cast<int>(oamlog_name_text(b.id.substr(0, keep).c_str()).size()));
    }
    for (long i = 0; i < n; ++i) {
        const oamlog_boot_info &b = g_oamlog_boots[static_cast<size_t>(i)];
        char first[48];
        char last[48];
        // Shown in the offset of the boot's first line and last line.
        oamlog_show_key(first, sizeof(first), b.first, b.first_off, utc, json);
        oamlog_show_key(last, sizeof(last), b.last, b.last_off, utc, json);
        const std::string id = b.id.empty() ? "-" : oamlog_name_text(b.id.substr(0, keep).c_str());
        if (json) {
            (void)fprintf(out, "{\"boot\":%ld,\"id\":%s,%s,%s,\"unclean_end\":%s}\n", i - (n - 1),
                          b.id.empty() ? "null" : oamlog_json_text(b.id.c_str()).c_str(),
                          oamlog_json_key_time("first", b.first, b.first_off).c_str(),
                          oamlog_json_key_time("last", b.last, b.last_off).c_str(), b.unclean > 0 ? "true" : "false");
        } else {
            (void)fprintf(out, "%3ld %-*s %s %s%s\n", i - (n - 1), width, id.c_str(), first, last,
                          b.unclean > 0 ? " unclean" : "");
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
        if (json) {
            (void)fprintf(out, "{\"boot\":%ld,\"id\":%s,\"unclean_end\":true,\"runs\":%u,%s}\n", i - (n - 1),
                          b.id.empty() ? "null" : oamlog_json_text(b.id.c_str()).c_str(), b.unclean,
                          oamlog_json_key_time("last", key, p.off).c_str());
        } else {
            // The id is --list-boots' to show.
            (void)fprintf(out, "unclean end: boot %ld, %u run%s, last line %s\n", i - (n - 1),
                          b.unclean, b.unclean == 1 ? "" : "s", last);
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
    const oamlog_print_opts opts{OAMLOG_JSON, false};
    for (const oamlog_event &ev : g_oamlog_events) {
        if (ev.event != "lost") {
            continue;
        }
        if (json) {
            oamlog_print_event(out, opts, ev);
            continue;
        }
        // The cause, free text of any length, on a line of its own.
        char stamp[32];
        oamlog_key_text(stamp, sizeof(stamp), oamlog_stamp_key(ev.stamp), ' ');
        (void)fprintf(out, "journal: %s %s lost %llu %s\n  %s\n", stamp, oamlog_name_text(ev.core.c_str()).c_str(),
                      static_cast<unsigned long long>(ev.count), ev.overruns ? "overruns" : "records",
                      oamlog_name_text(ev.cause.c_str()).c_str());
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
            if (!oamlog_selected(rec.key, rec.boot, since, until) || !oamlog_grep_record(rec)) {
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
        rows.push_back(r);
    }
    // Within 80 columns: the counts, then the first and last stamps.
    std::vector<std::vector<std::string>> counts{
        {"core", "files", "records", "bytes", "peak/s", "lost", "overruns", "damaged"}};
    std::vector<std::vector<std::string>> stamps{{"core", "first", "last"}};
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
            const std::string core = oamlog_name_text(r.core.c_str());
            counts.push_back({core, std::to_string(r.files), std::to_string(r.records), std::to_string(r.bytes),
                              std::to_string(r.peak), std::to_string(r.lost), std::to_string(r.overruns),
                              std::to_string(r.damaged)});
            stamps.push_back({core, first, last});
        }
    }
    if (!json) {
        oamlog_table(out, counts, "lrrrrrrr");
        (void)fputc('\n', out);
        oamlog_table(out, stamps, "lll");
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
    std::vector<oamlog_dump_entry> found;
    if (oamlog_dump_archives(root, &found) != 0) {
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
        std::string short_state;      // for the table
    };
    std::vector<listed> rows;
    std::vector<const oamlog_event *> archived;
    for (const oamlog_dump_entry &e : found) {
        const std::string &type = e.type;
        const oamlog_event *report = e.report;
        const char *core = type.find("wifi") != std::string::npos ? "wifi"
                           : type.find("bfgx") != std::string::npos ? "bfg"
                           : type.find("_me_") != std::string::npos ? "me"
                                                                    : "-";
        struct stat st {};
        const std::string path = dir + e.name;
        const long long size = lstat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
        oamlog_tar_state tar{0, 0, true, false};
        if (size >= 0 && S_ISREG(st.st_mode)) {
            tar = oamlog_tar_members(path);
        }
        std::string state = std::to_string(tar.members) + " members, ";
        std::string short_state = tar.complete ? "complete" : "incomplete";
        if (!tar.gzip) {
            state = "not a gzip file";
            short_state = "not gzip";
        } else if (tar.damaged_at != 0) {
            state += "damaged at member " + std::to_string(tar.damaged_at);
            short_state = "damaged at " + std::to_string(tar.damaged_at);
        } else {
            state += tar.complete ? "complete" : "incomplete";
        }
        const oamlog_event *outcome = report != nullptr ? oamlog_dump_outcome(report) : nullptr;
        if (outcome != nullptr && outcome->event != "dump-saved") {
            state = outcome->event + outcome->detail.substr(report->detail.size());
            short_state = outcome->event;
        }
        archived.push_back(report);
        struct stat ctx {};
        const std::string ctx_path = oamlog_context_path(root, e.name);
        const bool context = !ctx_path.empty() && lstat(ctx_path.c_str(), &ctx) == 0 && S_ISREG(ctx.st_mode);
        rows.push_back({e.reported, core, type, size, state, e.name, context, tar, report,
                        outcome != nullptr && outcome->event != "dump-saved" ? outcome : nullptr, short_state});
    }
    // A dump that ended without an archive is a line of its own.
    for (const oamlog_event &ev : g_oamlog_events) {
        const oamlog_event *outcome = ev.event == "dump-reported" ? oamlog_dump_outcome(&ev) : nullptr;
        if (outcome != nullptr && outcome->event != "dump-saved" &&
            std::find(archived.begin(), archived.end(), &ev) == archived.end()) {
            const std::string state = outcome->event + outcome->detail.substr(ev.detail.size());
            rows.push_back({oamlog_stamp_key(ev.stamp), ev.core, ev.detail, -1, state, "", false,
                            {0, 0, false, false}, &ev, outcome, state});
        }
    }
    std::stable_sort(rows.begin(), rows.end(), [](const listed &a, const listed &b) {
        return a.reported < b.reported || (a.reported == b.reported && a.name < b.name);
    });
    // The table: the index --dump takes (-1 the latest archive), the name
    // that holds the dump's time, and what does not fit is left to --json.
    std::vector<std::string> shown;
    size_t width = 7;
    for (const listed &r : rows) {
        char stamp[32];
        oamlog_key_text(stamp, sizeof(stamp), r.reported, ' ');
        shown.push_back(r.name.empty() ? oamlog_name_text(r.type.c_str()) + " at " + stamp
                                       : oamlog_name_text(r.name.c_str()));
        width = std::max(width, r.name.empty() ? 0 : shown.back().size());
    }
    if (!json && !rows.empty()) {
        (void)fprintf(out, "%3s %-*s %5s %3s %s\n", "#", static_cast<int>(width), "archive", "size", "ctx", "state");
    }
    long index = -static_cast<long>(found.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        const listed &r = rows[i];
        if (json) {
            oamlog_dump_json(out, r.reported, r.report, r.core, r.type, r.size, r.name, r.context, r.tar, r.outcome);
            continue;
        }
        if (r.name.empty()) {
            // How it ended, free text, in the room of the columns it has not.
            (void)fprintf(out, "%3s %s: %s\n", "-", shown[i].c_str(), oamlog_name_text(r.short_state.c_str()).c_str());
            continue;
        }
        const std::string number = std::to_string(index++);
        (void)fprintf(out, "%3s %-*s %5s %3s %s\n", number.c_str(), static_cast<int>(width), shown[i].c_str(),
                      r.size < 0 ? "-" : oamlog_human(static_cast<uint64_t>(r.size)).c_str(), r.context ? "yes" : "no",
                      oamlog_name_text(r.short_state.c_str()).c_str());
    }
    return OAMLOG_OK;
}
