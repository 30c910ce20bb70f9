// A record's or a journal line's stamp fields as plain calendar numbers:
// no zone, no time line.
#include <array>
#include <cctype>
#include <cstdint>

#include "common/oam_record.h"
#include "oamlog/read_stamp.h"

namespace {

constexpr int64_t MS_PER_DAY = 86400000;

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
int64_t oamlog_days(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool oamlog_leap(unsigned y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

}  // namespace

unsigned oamlog_month_days(unsigned y, unsigned m)
{
    static constexpr unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && oamlog_leap(y) ? 29 : days[(m - 1) % 12];
}

int64_t oamlog_stamp_ms(const uint16_t *s)
{
    const int64_t day = oamlog_days(s[0], s[1], s[2]);
    return day * MS_PER_DAY + ((s[3] * 60LL + s[4]) * 60 + s[5]) * 1000 + s[6];
}

void oamlog_ms_stamp(int64_t ms, uint16_t *s)
{
    int64_t days = ms >= 0 ? ms / MS_PER_DAY : (ms - MS_PER_DAY + 1) / MS_PER_DAY;
    int64_t rest = ms - days * MS_PER_DAY;
    // Back from days to a date.
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const int64_t y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0);
    s[0] = static_cast<uint16_t>(y);
    s[1] = static_cast<uint16_t>(m);
    s[2] = static_cast<uint16_t>(d);
    s[6] = static_cast<uint16_t>(rest % 1000);
    rest /= 1000;
    s[5] = static_cast<uint16_t>(rest % 60);
    s[4] = static_cast<uint16_t>(rest / 60 % 60);
    s[3] = static_cast<uint16_t>(rest / 3600);
}

size_t oamlog_parse_offset(const char *text, int *minutes)
{
    if ((text[0] != '+' && text[0] != '-') || !isdigit(static_cast<unsigned char>(text[1])) ||
        !isdigit(static_cast<unsigned char>(text[2])) || !isdigit(static_cast<unsigned char>(text[3])) ||
        !isdigit(static_cast<unsigned char>(text[4]))) {
        return 0;
    }
    const int h = (text[1] - '0') * 10 + (text[2] - '0');
    const int m = (text[3] - '0') * 10 + (text[4] - '0');
    if (h > 15 || m > 59) {
        return 0;
    }
    *minutes = (text[0] == '-' ? -1 : 1) * (h * 60 + m);
    return 5;
}

uint64_t oamlog_stamp_key(const uint16_t *s)
{
    uint64_t key = 0;
    constexpr std::array<uint64_t, OAM_STAMP_FIELDS> scale = {1, 100, 100, 100, 100, 100, 1000};
    for (int f = 0; f < OAM_STAMP_FIELDS; ++f) {
        key = key * scale[f] + s[f];
    }
    return key;
}

bool oamlog_fields_ok(const uint16_t *s)
{
    return s[1] >= 1 && s[1] <= 12 && s[2] >= 1 && s[2] <= 31 && s[3] < 24 && s[4] < 60 && s[5] < 61 && s[6] < 1000;
}

// One journal line; false for a line that does not read as one (cut short,
