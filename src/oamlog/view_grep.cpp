// -g PATTERN: records and events matched against one regular expression,
// compiled once.  Case is folded here rather than by the matcher, whose
// case-blind mode allocates on every call: a record costs no allocation.
#include <cctype>
#include <cstring>
#include <string>

#include <regex.h>

#include "oamlog/reader_status.h"
#include "oamlog/view_grep.h"
#include "oamlog/view_print.h"

namespace {

bool g_grep_on;
bool g_grep_fold;     // the text is folded to lower case before matching
regex_t g_grep;       // the pattern as given (folded when g_grep_fold)
regex_t g_grep_hex;   // folded: hex digits are shown in lower case
std::string g_grep_buf;  // the text of one record or event, reused

// The pattern in lower case; what follows a backslash stays as it is
// (\W is not \w).
std::string oamlog_grep_fold(const char *pattern)
{
    std::string out(pattern);
    for (size_t i = 0; i < out.size(); ++i) {
        if (out[i] == '\\') {
            ++i;
        } else {
            out[i] = static_cast<char>(tolower(static_cast<unsigned char>(out[i])));
        }
    }
    return out;
}

void oamlog_grep_fold_buf()
{
    for (char &c : g_grep_buf) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
}

bool oamlog_grep_match(const regex_t *re, const char *text, size_t len)
{
    regmatch_t range{0, static_cast<regoff_t>(len)};
    return regexec(re, text, 1, &range, REG_STARTEND) == 0;
}

int oamlog_grep_compile(regex_t *re, const std::string &pattern, const char *shown)
{
    const int err = regcomp(re, pattern.c_str(), REG_EXTENDED | REG_NOSUB | REG_NEWLINE);
    if (err != 0) {
        char why[128];
        (void)regerror(err, re, why, sizeof(why));
        oamlog_error("bad pattern '%s' for -g: %s", oamlog_name_text(shown).c_str(), why);
        return -1;
    }
    return 0;
}

}  // namespace

int oamlog_grep_set(const char *pattern, int sensitive)
{
    bool capital = false;
    for (const char *p = pattern; *p != '\0'; ++p) {
        capital = capital || isupper(static_cast<unsigned char>(*p)) != 0;
    }
    g_grep_fold = sensitive == 0 || (sensitive < 0 && !capital);
    const std::string folded = oamlog_grep_fold(pattern);
    if (oamlog_grep_compile(&g_grep, g_grep_fold ? folded : std::string(pattern), pattern) != 0 ||
        oamlog_grep_compile(&g_grep_hex, folded, pattern) != 0) {
        return -1;
    }
    g_grep_on = true;
    return 0;
}

bool oamlog_grep_record(const oamlog_rec &rec)
{
    if (!g_grep_on) {
        return true;
    }
    const auto *text = reinterpret_cast<const char *>(rec.data);
    size_t len = rec.data_len;
    if (!oamlog_is_text(rec.data, len)) {
        // The hex exactly as the line shows it.
        g_grep_buf.resize(3 * len + 1);
        const char *end = oamlog_put_data(g_grep_buf.data(), rec.data, len);
        return oamlog_grep_match(&g_grep_hex, g_grep_buf.data(), static_cast<size_t>(end - g_grep_buf.data()));
    }
    while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r')) {
        --len;  // a log line's own end: "ok$" matches "ok\r\n"
    }
    if (!g_grep_fold) {
        return oamlog_grep_match(&g_grep, text, len);
    }
    g_grep_buf.assign(text, len);
    oamlog_grep_fold_buf();
    return oamlog_grep_match(&g_grep, g_grep_buf.data(), g_grep_buf.size());
}

bool oamlog_grep_event(const oamlog_event &ev)
{
    if (!g_grep_on) {
        return true;
    }
    // What a line shows of it between the core and its end.
    if (ev.event == "lost") {
        g_grep_buf = std::to_string(ev.count) + (ev.overruns ? " overruns" : " records") + " lost: " + ev.cause;
    } else {
        g_grep_buf = ev.event + (ev.detail.empty() ? "" : " ") + ev.detail;
    }
    if (g_grep_fold) {
        oamlog_grep_fold_buf();
    }
    return oamlog_grep_match(&g_grep, g_grep_buf.data(), g_grep_buf.size());
}
