// The ways a record is printed: a line, a line with a hex dump, the bare
// data, or a JSON object.
#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <string>

#include "oamlog/read_cursor.h"
#include "oamlog/read_journal.h"
#include "oamlog/read_source.h"
#include "oamlog/read_stamp.h"
#include "oamlog/reader_status.h"
#include "oamlog/timeline.h"
#include "oamlog/view_print.h"

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

namespace {

// The texts a record's line is put together from, kept while they hold:
// the stamps change once a second, the names once a file.
struct oamlog_second_text {
    uint16_t fields[OAM_STAMP_MSEC];  // a record's own, down to the second
    uint64_t second;                  // or the UTC second
    char sep;
    bool set;
    char text[40];
    size_t len;
};
// A few names at once: on the time line the cores take turns, each with
// its own file.
struct oamlog_name_cache {
    struct entry {
        std::string raw;
        std::string shown;
        bool set = false;
    };
    std::array<entry, 4> entries;
    size_t next = 0;  // the entry a new name takes
};
oamlog_second_text g_local_second;
oamlog_second_text g_utc_second;
oamlog_name_cache g_core_text;
oamlog_name_cache g_core_json;
oamlog_name_cache g_file_json;
int g_off_minutes = INT_MIN;
std::string g_off_text;
// Reused: a line allocates nothing once lines as long were shown.
std::string g_line;

const std::string &oamlog_cached_name(oamlog_name_cache *c, const char *raw, bool json)
{
    for (oamlog_name_cache::entry &e : c->entries) {
        if (e.set && e.raw == raw) {
            return e.shown;
        }
    }
    oamlog_name_cache::entry &e = c->entries[c->next];
    c->next = (c->next + 1) % c->entries.size();
    e.raw = raw;
    e.shown = json ? oamlog_json_text(raw) : oamlog_name_text(raw);
    e.set = true;
    return e.shown;
}

char *oamlog_put(char *p, const char *text, size_t len)
{
    memcpy(p, text, len);
    return p + len;
}

char *oamlog_put(char *p, const std::string &text)
{
    return oamlog_put(p, text.data(), text.size());
}

// n in decimal, at least width digits wide, padded with pad in front.
char *oamlog_put_uint(char *p, uint64_t n, int width, char pad)
{
    char digits[24];
    int k = 0;
    do {
        digits[k++] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    for (int i = k; i < width; ++i) {
        *p++ = pad;
    }
    while (k > 0) {
        *p++ = digits[--k];
    }
    return p;
}

// A record's own fields, "YYYY-MM-DD?HH:MM:SS.mmm".
char *oamlog_put_stamp(char *p, const uint16_t *s, char sep)
{
    oamlog_second_text &c = g_local_second;
    if (!c.set || sep != c.sep || memcmp(c.fields, s, sizeof(c.fields)) != 0) {
        const int n = snprintf(c.text, sizeof(c.text), "%04u-%02u-%02u%c%02u:%02u:%02u.", s[0], s[1], s[2], sep, s[3],
                               s[4], s[5]);
        c.len = n > 0 ? std::min(static_cast<size_t>(n), sizeof(c.text) - 1) : 0;
        memcpy(c.fields, s, sizeof(c.fields));
        c.sep = sep;
        c.set = true;
    }
    p = oamlog_put(p, c.text, c.len);
    return oamlog_put_uint(p, s[OAM_STAMP_MSEC], 3, '0');
}

// A key's UTC time, "YYYY-MM-DD?HH:MM:SS.mmm" as oamlog_utc_text writes it.
char *oamlog_put_utc(char *p, uint64_t key, char sep)
{
    const uint64_t msec = key % 1000;  // the key's bias is whole seconds
    const uint64_t second = key / 1000;
    oamlog_second_text &c = g_utc_second;
    if (!c.set || second != c.second || sep != c.sep) {
        oamlog_utc_text(c.text, sizeof(c.text), key - msec, sep);
        c.len = strlen(c.text) - 3;  // its milliseconds, 000, are each record's own
        c.second = second;
        c.sep = sep;
        c.set = true;
    }
    p = oamlog_put(p, c.text, c.len);
    return oamlog_put_uint(p, msec, 3, '0');
}

char *oamlog_put_offset(char *p, int minutes)
{
    if (minutes != g_off_minutes) {
        g_off_text = oamlog_offset_text(minutes, true);
        g_off_minutes = minutes;
    }
    return oamlog_put(p, g_off_text);
}

char *oamlog_put_base64(char *p, const uint8_t *data, size_t len)
{
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    size_t i = 0;
    for (; i + 3 <= len; i += 3) {
        const uint32_t v = static_cast<uint32_t>(data[i]) << 16 | static_cast<uint32_t>(data[i + 1]) << 8 | data[i + 2];
        *p++ = alphabet[v >> 18];
        *p++ = alphabet[(v >> 12) & 0x3F];
        *p++ = alphabet[(v >> 6) & 0x3F];
        *p++ = alphabet[v & 0x3F];
    }
    if (i < len) {
        const bool two = i + 2 == len;
        const uint32_t v = static_cast<uint32_t>(data[i]) << 16 | (two ? static_cast<uint32_t>(data[i + 1]) << 8 : 0);
        *p++ = alphabet[v >> 18];
        *p++ = alphabet[(v >> 12) & 0x3F];
        *p++ = two ? alphabet[(v >> 6) & 0x3F] : '=';
        *p++ = '=';
    }
    return p;
}


}  // namespace

char *oamlog_put_data(char *p, const uint8_t *data, size_t len)
{
    static constexpr char hex[] = "0123456789abcdef";
    if (!oamlog_is_text(data, len)) {
        for (size_t i = 0; i < len; ++i) {
            if (i > 0) {
                *p++ = ' ';
            }
            *p++ = hex[data[i] >> 4];
            *p++ = hex[data[i] & 0xF];
        }
        return p;
    }
    while (len > 0 && (data[len - 1] == '\n' || data[len - 1] == '\r')) {
        --len;  // a log line's own end
    }
    for (size_t i = 0; i < len; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == '\n' || c == '\r' || c == '\t') {
            *p++ = '\\';
            *p++ = c == '\n' ? 'n' : c == '\r' ? 'r' : 't';
        } else {
            *p++ = c;
        }
    }
    return p;
}

void oamlog_print(FILE *out, const oamlog_print_opts &opts, const oamlog_rec &rec)
{
    if (opts.format == OAMLOG_RAW) {
        (void)fwrite(rec.data, 1, rec.data_len, out);
        return;
    }
    const bool json = opts.format == OAMLOG_JSON;
    const std::string &core = oamlog_cached_name(json ? &g_core_json : &g_core_text, rec.core, json);
    static const std::string no_file;  // a text line does not name it
    const std::string &file = json ? oamlog_cached_name(&g_file_json, rec.file, true) : no_file;
    // Room for the longest line: up to 190 bytes of stamps, numbers and
    // member names, the cursor, the names, and the data in hex, escaped or
    // in base64 (at most 3 a byte, and 4 for base64's last group).
    g_line.resize(256 + OAMLOG_ENTRY_CURSOR_MAX + core.size() + file.size() + 3 * rec.data_len);
    char *const line = g_line.data();
    char *p = line;
    if (json) {
        p = oamlog_put(p, "{\"time\":\"", 9);
        p = oamlog_put_stamp(p, rec.stamp, 'T');
        // A stamp out of range takes no offset; it sorts where the last good one did.
        if (rec.stamp_ok) {
            p = oamlog_put_offset(p, rec.utc_off);
        }
        if (rec.key != 0) {
            p = oamlog_put(p, "\",\"utc\":\"", 9);
            p = oamlog_put_utc(p, rec.key, 'T');
            p = oamlog_put(p, "Z\",", 3);
        } else {
            p = oamlog_put(p, "\",\"utc\":null,", 13);
        }
        if (rec.uncertain) {
            p = oamlog_put(p, "\"time_uncertain\":true,", 22);
        }
        p = oamlog_put(p, "\"core\":", 7);
        p = oamlog_put(p, core);
        p = oamlog_put(p, ",\"file\":", 8);
        p = oamlog_put(p, file);
        p = oamlog_put(p, ",\"offset\":", 10);
        p = oamlog_put_uint(p, rec.offset, 1, ' ');
        p = oamlog_put(p, ",\"length\":", 10);
        p = oamlog_put_uint(p, rec.rec_len, 1, ' ');
        p = oamlog_put(p, ",\"data\":\"", 9);
        p = oamlog_put_base64(p, rec.data, rec.data_len);
        p = oamlog_put(p, "\",\"cursor\":\"", 12);
        p += oamlog_entry_cursor(p, OAMLOG_ENTRY_CURSOR_MAX, rec.core, rec.head, rec.offset,
                                 static_cast<uint32_t>(rec.rec_len), rec.stamp);
        p = oamlog_put(p, "\"}\n", 3);
        (void)fwrite(line, 1, static_cast<size_t>(p - line), out);
        return;
    }
    if (opts.utc && rec.key != 0) {
        p = oamlog_put_utc(p, rec.key, ' ');
        *p++ = 'Z';
    } else {
        p = oamlog_put_stamp(p, rec.stamp, ' ');
    }
    if (rec.uncertain) {
        *p++ = '?';
    }
    *p++ = ' ';
    // The core of a file read by name is the file's name: outside bytes.
    p = oamlog_put(p, core);
    for (size_t i = core.size(); i < 4; ++i) {
        *p++ = ' ';
    }
    *p++ = ' ';
    p = oamlog_put_uint(p, rec.rec_len, 4, ' ');
    *p++ = ' ';
    p = oamlog_put_data(p, rec.data, rec.data_len);
    const size_t len = static_cast<size_t>(p - line);
    g_line.resize(len + 1);
    g_line[len] = '\n';
    (void)fwrite(g_line.data(), 1, len + 1, out);
    if (opts.format == OAMLOG_HEX) {
        oamlog_hex_dump(out, rec.data, rec.data_len);
    }
}

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
    line.push_back('\n');
    (void)fwrite(line.data(), 1, line.size(), out);
}


