// The ground of the reader: where damage is told, the exit status, and
// names made safe for a terminal or a JSON string.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "oamlog/reader_status.h"

FILE *g_oamlog_damage_out = stderr;
uint64_t g_oamlog_damage_count = 0;
int g_oamlog_status = OAMLOG_OK;
bool g_oamlog_damage_json = false;

void oamlog_damage(const oamlog_spot &spot)
{
    g_oamlog_damage_count += spot.counted ? 1 : 0;
    FILE *out = g_oamlog_damage_out;
    const auto told = [](uint64_t v) { return v == OAMLOG_UNTOLD ? std::string("null") : std::to_string(v); };
    if (g_oamlog_damage_json) {
        (void)fprintf(out, "{\"file\":%s,\"offset\":%s,%s\"skipped\":%s,\"cause\":%s}\n",
                      oamlog_json_text(spot.file.c_str()).c_str(), told(spot.offset).c_str(),
                      spot.line != 0 ? ("\"line\":" + std::to_string(spot.line) + ",").c_str() : "",
                      told(spot.skipped).c_str(), oamlog_json_text(spot.cause.c_str()).c_str());
        return;
    }
    std::string where;
    if (spot.line != 0) {
        where = ": line " + std::to_string(spot.line);
    } else if (spot.offset != OAMLOG_UNTOLD) {
        where = ": offset " + std::to_string(spot.offset);
    }
    (void)fprintf(out, "%s%s%s: %s%s%s\n", out == stderr ? "oamlog: " : "", oamlog_name_text(spot.file.c_str()).c_str(),
                  where.c_str(), spot.cause.c_str(), spot.outcome.empty() ? "" : "; ", spot.outcome.c_str());
}

namespace {

size_t oamlog_utf8_len(const char *s)
{
    const auto *u = reinterpret_cast<const unsigned char *>(s);
    size_t n = 0;
    uint32_t least = 0;
    if (u[0] < 0x80) {
        return 1;
    } else if (u[0] >= 0xC2 && u[0] <= 0xDF) {
        n = 2;
        least = 0x80;
    } else if (u[0] >= 0xE0 && u[0] <= 0xEF) {
        n = 3;
        least = 0x800;
    } else if (u[0] >= 0xF0 && u[0] <= 0xF4) {
        n = 4;
        least = 0x10000;
    } else {
        return 0;
    }
    uint32_t cp = u[0] & (0x3FU >> (n - 1));
    for (size_t i = 1; i < n; ++i) {
        if ((u[i] & 0xC0) != 0x80) {
            return 0;  // the terminating NUL included
        }
        cp = cp << 6 | (u[i] & 0x3FU);
    }
    return cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) ? 0 : n;
}

// A name as the inside of a JSON string, or as text for a line.  A byte that
// is no UTF-8 goes into JSON as a lone low surrogate, so that the bytes of
// the name can be had back.
std::string oamlog_escape(const char *text, bool json)
{
    std::string out;
    for (const char *c = text; *c != '\0';) {
        const auto u = static_cast<unsigned char>(*c);
        const size_t seq = oamlog_utf8_len(c);
        char esc[8] = {'\\', *c, '\0'};
        if (u < 0x20 || u == 0x7F) {
            (void)snprintf(esc, sizeof(esc), json ? "\\u%04x" : "\\x%02x", u);
        } else if (seq == 0) {
            (void)snprintf(esc, sizeof(esc), json ? "\\udc%02x" : "\\x%02x", u);
        } else if (u != '\\' && (!json || u != '"')) {
            out.append(c, seq);
            c += seq;
            continue;
        }
        out.append(esc);
        ++c;
    }
    return out;
}

}  // namespace

void oamlog_error(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    (void)fputs("oamlog: ", stderr);
    (void)vfprintf(stderr, fmt, ap);
    (void)fputc('\n', stderr);
    va_end(ap);
    g_oamlog_status = OAMLOG_FAILED;
}

std::string oamlog_json_text(const char *text)
{
    return "\"" + oamlog_escape(text, true) + "\"";
}

std::string oamlog_name_text(const char *name)
{
    return oamlog_escape(name, false);
}

