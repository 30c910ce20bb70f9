// SHA-256: lets whoever receives a bundle check each member against its
// manifest with any common tool.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "oamlog/read_sha256.h"

namespace {

constexpr uint32_t SHA256_K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr size_t SHA256_BLOCK = 64;
constexpr size_t SHA256_LEN_AT = 56;  // where the bit count goes in the last block

uint32_t rotr(uint32_t x, int n)
{
    return (x >> n) | (x << (32 - n));
}

void sha256_block(oamlog_sha256 *ctx, const uint8_t *p)
{
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
        w[i] = static_cast<uint32_t>(p[4 * i]) << 24 | static_cast<uint32_t>(p[4 * i + 1]) << 16 |
               static_cast<uint32_t>(p[4 * i + 2]) << 8 | p[4 * i + 3];
    }
    for (int i = 16; i < 64; ++i) {
        const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t v[8];
    memcpy(v, ctx->h, sizeof(v));
    for (int i = 0; i < 64; ++i) {
        const uint32_t s1 = rotr(v[4], 6) ^ rotr(v[4], 11) ^ rotr(v[4], 25);
        const uint32_t ch = (v[4] & v[5]) ^ (~v[4] & v[6]);
        const uint32_t t1 = v[7] + s1 + ch + SHA256_K[i] + w[i];
        const uint32_t s0 = rotr(v[0], 2) ^ rotr(v[0], 13) ^ rotr(v[0], 22);
        const uint32_t maj = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
        memmove(v + 1, v, 7 * sizeof(uint32_t));
        v[4] += t1;
        v[0] = t1 + s0 + maj;
    }
    for (int i = 0; i < 8; ++i) {
        ctx->h[i] += v[i];
    }
}

}  // namespace

void oamlog_sha256_init(oamlog_sha256 *ctx)
{
    constexpr uint32_t start[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    memcpy(ctx->h, start, sizeof(start));
    ctx->bytes = 0;
}

void oamlog_sha256_update(oamlog_sha256 *ctx, const void *data, size_t len)
{
    const auto *p = static_cast<const uint8_t *>(data);
    size_t held = ctx->bytes % SHA256_BLOCK;
    ctx->bytes += len;
    while (len > 0) {
        if (held == 0 && len >= SHA256_BLOCK) {
            sha256_block(ctx, p);
            p += SHA256_BLOCK;
            len -= SHA256_BLOCK;
            continue;
        }
        const size_t take = std::min(len, SHA256_BLOCK - held);
        memcpy(ctx->block + held, p, take);
        held += take;
        p += take;
        len -= take;
        if (held == SHA256_BLOCK) {
            sha256_block(ctx, ctx->block);
            held = 0;
        }
    }
}

std::string oamlog_sha256_hex(oamlog_sha256 *ctx)
{
    const uint64_t bits = ctx->bytes * 8;
    size_t held = ctx->bytes % SHA256_BLOCK;
    ctx->block[held++] = 0x80;
    if (held > SHA256_LEN_AT) {
        memset(ctx->block + held, 0, SHA256_BLOCK - held);
        sha256_block(ctx, ctx->block);
        held = 0;
    }
    memset(ctx->block + held, 0, SHA256_LEN_AT - held);
    for (int i = 0; i < 8; ++i) {
        ctx->block[SHA256_LEN_AT + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    }
    sha256_block(ctx, ctx->block);
    char hex[65];
    for (int i = 0; i < 8; ++i) {
        (void)snprintf(hex + 8 * i, 9, "%08x", ctx->h[i]);
    }
    return std::string(hex, 64);
}
