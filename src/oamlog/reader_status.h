// Layer 1, ground of the reader (below every other piece): the exit
// status, where damage is told and how much was found, and names made safe
// for a terminal or a JSON string.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Exit status of the program.
constexpr int OAMLOG_OK = 0;
constexpr int OAMLOG_DAMAGED = 1;  // --check found damage
constexpr int OAMLOG_FAILED = 2;   // a bad option, a missing folder, an unreadable file

// Global counts and the place damage is reported.
extern FILE *g_oamlog_damage_out;
extern uint64_t g_oamlog_damage_count;
extern int g_oamlog_status;

void oamlog_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// A damaged spot of an input, told on the damage output as
// "FILE[: offset N | : line N]: CAUSE[; OUTCOME]", or under --check --json
// as one JSON object {"file","offset"[,"line"],"skipped","cause"}.
constexpr uint64_t OAMLOG_UNTOLD = UINT64_MAX;
struct oamlog_spot {
    std::string file;                  // as read; shown escaped
    uint64_t offset = OAMLOG_UNTOLD;   // in the file (of a compressed one: in its content)
    uint64_t line = 0;                 // of a text file; 0 none
    uint64_t skipped = OAMLOG_UNTOLD;  // bytes passed over (0: kept)
    std::string cause;
    std::string outcome;  // of the text line, after the cause
    bool counted = true;  // one more damaged spot
};
void oamlog_damage(const oamlog_spot &spot);
extern bool g_oamlog_damage_json;

// A name as a JSON string, and as text for a line: what is not UTF-8 or is
// a control character escaped.
std::string oamlog_json_text(const char *text);
std::string oamlog_name_text(const char *name);
