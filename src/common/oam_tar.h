// The tar member header of the archives the daemon and oamlog write: the
// reduced old-style form (no magic, no owner names), so that the same files
// give the same bytes; GNU tar and Python's tarfile read it.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t OAM_TAR_BLOCK = 512;
constexpr size_t OAM_TAR_NAME_MAX = 99;  // the name field holds 99 characters and a NUL

// Fills block (OAM_TAR_BLOCK bytes, cleared by the caller) with the header
// of a regular file member; a longer name is cut to OAM_TAR_NAME_MAX.  The
// permission bits of mode are kept; an mtime of 0 or less leaves the time
// out.
void oam_tar_header(uint8_t *block, const char *name, uint32_t size, uint32_t mode = 0666, int64_t mtime = 0);
// The header's checksum matches its bytes.
bool oam_tar_header_ok(const uint8_t *block);
