// Layer 1, readers of outside bytes: SHA-256, by which a bundle's members are
// checked against its manifest (and written into it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// SHA-256 of the bundle's members.
struct oamlog_sha256 {
    uint32_t h[8];
    uint8_t block[64];
    uint64_t bytes;
};
void oamlog_sha256_init(oamlog_sha256 *ctx);
void oamlog_sha256_update(oamlog_sha256 *ctx, const void *data, size_t len);
// The digest in lower-case hex; the context is used up.
std::string oamlog_sha256_hex(oamlog_sha256 *ctx);
