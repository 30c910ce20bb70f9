// Kept free of the daemon's print and bounded-copy helpers: oamlog links it
// without them.
#include "common/oam_tar.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t TAR_MODE_OFFSET = 100;
constexpr size_t TAR_UID_OFFSET = 108;
constexpr size_t TAR_GID_OFFSET = 116;
constexpr size_t TAR_ID_FIELD_LEN = 8;
constexpr size_t TAR_SIZE_OFFSET = 124;
constexpr size_t TAR_SIZE_FIELD_LEN = 12;  // the time's too
constexpr size_t TAR_MTIME_OFFSET = 136;
constexpr size_t TAR_CHKSUM_OFFSET = 148;
constexpr size_t TAR_CHKSUM_FIELD_LEN = 8;

// Seven characters and the NUL each.
constexpr std::array<char, TAR_ID_FIELD_LEN> TAR_OWNER_FIELD = {' ', ' ', ' ', ' ', ' ', '0', ' ', '\0'};

// The checksum counts its own eight bytes as spaces.
uint32_t tar_sum(const uint8_t *block)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < OAM_TAR_BLOCK; ++i) {
        sum += i >= TAR_CHKSUM_OFFSET && i < TAR_CHKSUM_OFFSET + TAR_CHKSUM_FIELD_LEN ? ' ' : block[i];
    }
    return sum;
}

}  // namespace

void oam_tar_header(uint8_t *block, const char *name, uint32_t size, uint32_t mode, int64_t mtime)
{
    const size_t name_len = strnlen(name, OAM_TAR_NAME_MAX);
    memcpy(block, name, name_len);
    block[name_len] = '\0';
    // A regular file's type bits before the permissions: "100644 ".
    char mode_field[TAR_ID_FIELD_LEN + 1] = {};
    (void)snprintf(mode_field, sizeof(mode_field), "100%03o ", mode & 0777U);
    memcpy(block + TAR_MODE_OFFSET, mode_field, TAR_ID_FIELD_LEN);
    memcpy(block + TAR_UID_OFFSET, TAR_OWNER_FIELD.data(), TAR_ID_FIELD_LEN);
    memcpy(block + TAR_GID_OFFSET, TAR_OWNER_FIELD.data(), TAR_ID_FIELD_LEN);
    // Eleven octal digits hold any 32-bit size; the rest of the field is NUL.
    char field[TAR_SIZE_FIELD_LEN + 1] = {};
    (void)snprintf(field, sizeof(field), "%o", size);
    memcpy(block + TAR_SIZE_OFFSET, field, TAR_SIZE_FIELD_LEN);
    if (mtime > 0) {
        char time_field[TAR_SIZE_FIELD_LEN + 1] = {};
        // Eleven octal digits reach the year 2242.
        (void)snprintf(time_field, sizeof(time_field), "%llo",
                       static_cast<unsigned long long>(std::min<int64_t>(mtime, 077777777777LL)));
        memcpy(block + TAR_MTIME_OFFSET, time_field, TAR_SIZE_FIELD_LEN);
    }
    char sum[TAR_CHKSUM_FIELD_LEN] = {};
    (void)snprintf(sum, sizeof(sum), "%o", tar_sum(block));
    memcpy(block + TAR_CHKSUM_OFFSET, sum, TAR_CHKSUM_FIELD_LEN);
}

bool oam_tar_header_ok(const uint8_t *block)
{
    char field[TAR_CHKSUM_FIELD_LEN + 1] = {};
    memcpy(field, block + TAR_CHKSUM_OFFSET, TAR_CHKSUM_FIELD_LEN);
    char *end = nullptr;
    const unsigned long stored = strtoul(field, &end, 8);
    return end != field && (*end == '\0' || *end == ' ') && stored == tar_sum(block);
}
