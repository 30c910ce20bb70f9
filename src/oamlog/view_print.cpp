// The ways a record is printed: a line, a line with a hex dump, the bare
// data, or a JSON object.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "oamlog/read_cursor.h"
#include "oamlog/read_journal.h"
#include "oamlog/read_source.h"
#include "oamlog/read_stamp.h"
#include "oamlog/reader_status.h"
#include "oamlog/timeline.h"
#include "oamlog/view_cursor.h"
#include "oamlog/view_print.h"

namespace {

bool oamlog_is_text(const uint8_t *data, size_t len)
{
    for (size_t i = 0; i < len; ++i) {
        const uint8_t c = data[i];
        if ((c < 0x20 || c > 0x7E) && c != '\n' && c != '\r' && c != '\t') {
            return false;
        }
    }
    return true;
}

// The data on one line: text with its line ends written as escapes, else
// the bytes in hex.
void oamlog_data_text(std::string *line, const uint8_t *data, size_t len)
{
    static constexpr char hex[] = "0123456789abcdef";
    if (!oamlog_is_text(data, len)) {
        for (size_t i = 0; i < len; ++i) {
            if (i > 0) {
                line->push_back(' ');
            }
            line->push_back(hex[data[i] >> 4]);
            line->push_back(hex[data[i] & 0xF]);
        }
        return;
    }
    while (len > 0 && (data[len - 1] == '\n' || data[len - 1] == '\r')) {
        --len;  // a log line's own end
    }
    for (size_t i = 0; i < len; ++i) {
        switch (data[i]) {
        case '\n':
            line->append("\\n");
            break;
        case '\r':
            line->append("\\r");
            break;
        case '\t':
            line->append("\\t");
            break;
        default:
            line->push_back(static_cast<char>(data[i]));
        }
    }
}

void oamlog_hex_dump(FILE *out, const uint8_t *data, size_t len)
{
    constexpr size_t per_line = 16;
    for (size_t at = 0; at < len; at += per_line) {
        char line[96];
        int n = snprintf(line, sizeof(line), "  %08zx ", at);
        for (size_t i = 0; i < per_line; ++i) {
            const char *gap = i == per_line / 2 ? "  " : " ";
            if (at + i < len) {
                n += snprintf(line + n, sizeof(line) - static_cast<size_t>(n), "%s%02x", gap, data[at + i]);
            } else {
                n += snprintf(line + n, sizeof(line) - static_cast<size_t>(n), "%s  ", gap);
            }
        }
        n += snprintf(line + n, sizeof(line) - static_cast<size_t>(n), "  |");
        for (size_t i = 0; i < per_line && at + i < len; ++i) {
            const uint8_t c = data[at + i];
            line[n++] = c >= 0x20 && c <= 0x7E ? static_cast<char>(c) : '.';
        }
        line[n++] = '|';
        line[n++] = '\n';
        (void)fwrite(line, 1, static_cast<size_t>(n), out);
    }
}

// The length of the UTF-8 sequence at s (NUL-terminated), 0 when it is none.
void oamlog_stamp_text(char *text, size_t cap, const uint16_t *s, char sep)
{
    (void)snprintf(text, cap, "%04u-%02u-%02u%c%02u:%02u:%02u.%03u", s[0], s[1], s[2], sep, s[3], s[4], s[5], s[6]);
}

std::string oamlog_base64(const uint8_t *data, size_t len)
{
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((len + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= len; i += 3) {
        const uint32_t v = static_cast<uint32_t>(data[i]) << 16 | static_cast<uint32_t>(data[i + 1]) << 8 | data[i + 2];
        out.push_back(alphabet[v >> 18]);
        out.push_back(alphabet[(v >> 12) & 0x3F]);
        out.push_back(alphabet[(v >> 6) & 0x3F]);
        out.push_back(alphabet[v & 0x3F]);
    }
    if (i < len) {
        const bool two = i + 2 == len;
        const uint32_t v = static_cast<uint32_t>(data[i]) << 16 | (two ? static_cast<uint32_t>(data[i + 1]) << 8 : 0);
        out.push_back(alphabet[v >> 18]);
        out.push_back(alphabet[(v >> 12) & 0x3F]);
        out.push_back(two ? alphabet[(v >> 6) & 0x3F] : '=');
        out.push_back('=');
    }
    return out;
}

void oamlog_cut_line(std::string *line, size_t width)
{
    if (width <= 3 || line->size() <= width) {
        return;
    }
    // Not inside a UTF-8 sequence of an escaped name.
    size_t keep = width - 3;
    while (keep > 0 && (static_cast<unsigned char>((*line)[keep]) & 0xC0) == 0x80) {
        --keep;
    }
    line->resize(keep);
    line->append("...");
}

}  // namespace

void oamlog_print(FILE *out, const oamlog_print_opts &opts, const oamlog_rec &rec)
{
    char stamp[64];
    if (opts.format == OAMLOG_RAW) {
        (void)fwrite(rec.data, 1, rec.data_len, out);
        return;
    }
    char utc[40] = "";
    if (rec.key != 0 && (opts.format == OAMLOG_JSON || opts.utc)) {
        oamlog_utc_text(utc, sizeof(utc), rec.key, opts.format == OAMLOG_JSON ? 'T' : ' ');
        (void)strcat(utc, "Z");
    }
    if (opts.format == OAMLOG_JSON) {
        oamlog_stamp_text(stamp, sizeof(stamp), rec.stamp, 'T');
        // A stamp out of range takes no offset; it sorts where the last good one did.
        const std::string off = rec.stamp_ok ? oamlog_offset_text(rec.utc_off, true) : "";
        char cursor[OAMLOG_ENTRY_CURSOR_MAX];
        (void)oamlog_entry_cursor(cursor, sizeof(cursor), rec.core, rec.head, rec.offset,
                                  static_cast<uint32_t>(rec.rec_len), rec.stamp);
        (void)fprintf(out,
                      "{\"time\":\"%s%s\",\"utc\":%s%s%s,%s\"core\":%s,\"file\":%s,\"offset\":%llu,\"length\":%zu,"
                      "\"data\":\"%s\",\"cursor\":\"%s\"}\n",
                      stamp, off.c_str(), rec.key != 0 ? "\"" : "", rec.key != 0 ? utc : "null",
                      rec.key != 0 ? "\"" : "", rec.uncertain ? "\"time_uncertain\":true," : "",
                      oamlog_json_text(rec.core).c_str(), oamlog_json_text(rec.file).c_str(),
                      static_cast<unsigned long long>(rec.offset), rec.rec_len,
                      oamlog_base64(rec.data, rec.data_len).c_str(), cursor);
        return;
    }
    if (opts.utc && rec.key != 0) {
        (void)snprintf(stamp, sizeof(stamp), "%s", utc);
    } else {
        oamlog_stamp_text(stamp, sizeof(stamp), rec.stamp, ' ');
    }
    if (rec.uncertain) {
        (void)strcat(stamp, "?");
    }
    // The core of a file read by name is the file's name: outside bytes.
    std::string line = stamp;
    line.push_back(' ');
    const std::string core = oamlog_name_text(rec.core);
    line += core;
    line.append(core.size() < 4 ? 4 - core.size() : 0, ' ');
    char len_text[32];
    (void)snprintf(len_text, sizeof(len_text), " %4zu ", rec.rec_len);
    line += len_text;
    oamlog_data_text(&line, rec.data, rec.data_len);
    oamlog_cut_line(&line, opts.width);
    line.push_back('\n');
    (void)fwrite(line.data(), 1, line.size(), out);
    if (opts.format == OAMLOG_HEX) {
        oamlog_hex_dump(out, rec.data, rec.data_len);
    }
}

namespace {

size_t g_event_next;

}  // namespace

void oamlog_print_event(FILE *out, const oamlog_print_opts &opts, const oamlog_event &ev)
{
    char stamp[64];
    const char sep = opts.format == OAMLOG_JSON ? 'T' : ' ';
    oamlog_key_text(stamp, sizeof(stamp), oamlog_stamp_key(ev.stamp), sep);
    char utc[40];
    oamlog_utc_text(utc, sizeof(utc), ev.key, sep);
    (void)strcat(utc, "Z");
    if (opts.format == OAMLOG_JSON) {
        (void)snprintf(stamp + strlen(stamp), sizeof(stamp) - strlen(stamp), "%s\",\"utc\":\"%s",
                       oamlog_offset_text(ev.off, true).c_str(), utc);
    } else if (opts.utc) {
        (void)snprintf(stamp, sizeof(stamp), "%s", utc);
    }
    const char *unit = ev.overruns ? "overruns" : "records";
    if (opts.format == OAMLOG_JSON) {
        char cursor[OAMLOG_ENTRY_CURSOR_MAX];
        (void)oamlog_entry_cursor(cursor, sizeof(cursor), "", ev.line_id, ev.line_n, 0, ev.stamp);
        const char *cur = ev.cursor.empty() ? cursor : ev.cursor.c_str();
        if (ev.event == "lost") {
            (void)fprintf(out,
                          "{\"time\":\"%s\",\"core\":%s,\"event\":\"lost\",\"count\":%llu,\"unit\":\"%s\",\"cause\":%s,"
                          "\"cursor\":\"%s\"}\n",
                          stamp, oamlog_json_text(ev.core.c_str()).c_str(), static_cast<unsigned long long>(ev.count),
                          unit, oamlog_json_text(ev.cause.c_str()).c_str(), cur);
        } else {
            (void)fprintf(out, "{\"time\":\"%s\",\"core\":%s,\"event\":%s,\"detail\":%s,\"cursor\":\"%s\"}\n",
                          stamp, oamlog_json_text(ev.core.c_str()).c_str(), oamlog_json_text(ev.event.c_str()).c_str(),
                          oamlog_json_text(ev.detail.c_str()).c_str(), cur);
        }
        return;
    }
    // The journal is outside bytes too: shown escaped, as names are.
    std::string line = std::string(stamp) + " ";
    char core[32];
    (void)snprintf(core, sizeof(core), "%-4s", oamlog_name_text(ev.core.c_str()).c_str());
    line += core;
    if (ev.event == "lost") {
        line += " -- " + std::to_string(ev.count) + " " + unit + " lost: " + oamlog_name_text(ev.cause.c_str()) + " --";
    } else {
        line += " -- " + oamlog_name_text(ev.event.c_str()) + (ev.detail.empty() ? "" : " ") +
                oamlog_name_text(ev.detail.c_str()) + " --";
    }
    oamlog_cut_line(&line, opts.width);
    line.push_back('\n');
    (void)fwrite(line.data(), 1, line.size(), out);
}

namespace {

bool oamlog_event_leads(const oamlog_event &ev)
{
    // Written before any record of its run is stored; a zone change before
    // the record whose stamp noticed it, and stamped with that record's time.
    return ev.event == "start" || ev.event == "capture-started" || ev.event == "zone-changed";
}

}  // namespace

void oamlog_events_until(FILE *out, const oamlog_print_opts &opts, uint64_t key, bool print, const char *core)
{
    if (opts.format == OAMLOG_RAW || opts.format == OAMLOG_CHECK) {
        return;
    }
    // Each core read on its own keeps a place of its own in the events.
    static std::vector<std::pair<std::string, size_t>> places;
    size_t *next = &g_event_next;
    if (core != nullptr) {
        auto it = std::find_if(places.begin(), places.end(), [core](const auto &p) { return p.first == core; });
        if (it == places.end()) {
            places.emplace_back(core, 0);
            it = places.end() - 1;
        }
        next = &it->second;
    }
    // Of the same millisecond, an event comes after the records, which were
    // written before it, but the start of a run comes before them.
    for (; *next < g_oamlog_events.size(); ++*next) {
        const oamlog_event &ev = g_oamlog_events[*next];
        if (ev.key > key || (ev.key == key && key != UINT64_MAX && !oamlog_event_leads(ev))) {
            break;
        }
        if (print && (core == nullptr || ev.core == core)) {
            oamlog_print_event(out, opts, ev);
            oamlog_cursor_event(ev);
        } else if (!print) {
            oamlog_cursor_event(ev);
        }
    }
}

