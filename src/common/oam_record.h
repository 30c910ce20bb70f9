// The log record and the log file names: written by the daemon's log store,
// read back by oamlog.  Both take the format from here only.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

// Record: marker, reserved byte, 16-bit little-endian length of the whole
// record, 14-byte time stamp, then the data exactly as the core sent it.
constexpr uint8_t OAM_RECORD_MARKER = 0xAA;
constexpr uint8_t OAM_RECORD_RESERVED = 0;
constexpr int OAM_RECORD_LEN_OFFSET = 2;
constexpr int OAM_RECORD_STAMP_OFFSET = 4;
constexpr uint32_t OAM_STAMP_LEN = 14;
constexpr int OAM_RECORD_HDR_LEN = 18;     // log record header in front of the data
constexpr int OAM_RECORD_MAX_LEN = 2048;   // a receiver's buffer holds one whole record
constexpr int OAM_RECORD_DATA_MAX = OAM_RECORD_MAX_LEN - OAM_RECORD_HDR_LEN;  // 2030

// The length field of a record whose first four bytes are there.
inline uint16_t oam_record_len(const uint8_t *rec)
{
    return static_cast<uint16_t>(rec[OAM_RECORD_LEN_OFFSET] | rec[OAM_RECORD_LEN_OFFSET + 1] << 8);
}

// Time stamp: seven 16-bit fields in the host's byte order, local time.
enum oam_stamp_field { OAM_STAMP_YEAR, OAM_STAMP_MONTH, OAM_STAMP_DAY, OAM_STAMP_HOUR, OAM_STAMP_MINUTE,
                       OAM_STAMP_SECOND, OAM_STAMP_MSEC, OAM_STAMP_FIELDS };
static_assert(OAM_STAMP_FIELDS * sizeof(uint16_t) == OAM_STAMP_LEN);

// A time field of a record whose header is there; host byte order, as the
// daemon copies the fields.
inline uint16_t oam_stamp_field(const uint8_t *rec, int field)
{
    uint16_t v = 0;
    memcpy(&v, rec + OAM_RECORD_STAMP_OFFSET + 2 * field, sizeof(v));
    return v;
}

struct oam_stamp_range {
    uint16_t min;
    uint16_t max;
};
// What a stamp taken from the clock can hold (a four-digit year, a leap second).
constexpr std::array<oam_stamp_range, OAM_STAMP_FIELDS> OAM_STAMP_RANGES = {{
    {1000, 9999}, {1, 12}, {1, 31}, {0, 23}, {0, 59}, {0, 60}, {0, 999},
}};

// Log files: the core's directory, its prefix and a number from 1 (the file
// being written) upwards, run together.  The me core's files carry the bfg
// prefix in a directory of their own.
inline constexpr const char *OAM_LOG_NAME_FMT = "%s%s%d";
inline constexpr const char *OAM_WIFI_LOG_PREFIX = "wifi_log_";
inline constexpr const char *OAM_BFG_LOG_PREFIX = "bfg_log_";
inline constexpr const char *OAM_ME_LOG_PREFIX = "bfg_log_";
