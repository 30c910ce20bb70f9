// Shared helpers of the reader's tests: a fresh folder, files written and
// read whole, and a stream the code under test writes to.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include <zstd.h>

#include "oamlog/bundle_write.h"
#include "oamlog/read_bundle.h"
#include "oamlog/read_journal.h"
#include "oamlog/read_sha256.h"
#include "oamlog/read_source.h"
#include "oamlog/read_stamp.h"
#include "oamlog/read_zst.h"
#include "oamlog/reader_status.h"
#include "oamlog/timeline.h"
#include "oamlog/view_print.h"
#include "oamlog/view_tables.h"

inline std::string fresh_dir()
{
    char tmpl[] = "/tmp/oamlog_XXXXXX";
    const char *dir = mkdtemp(tmpl);
    return std::string(dir != nullptr ? dir : "/tmp") + "/";
}

inline void put(const std::string &path, const std::string &bytes)
{
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    ASSERT_EQ(fclose(f), 0);
}

inline std::string slurp(const std::string &path)
{
    std::string out;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) {
        out.append(buf, n);
    }
    (void)fclose(f);
    return out;
}

// Records first to first + count - 1, each with some bytes of its own.
inline std::string records(int first, int count)
{
    std::string out;
    for (int n = first; n < first + count; ++n) {
        const uint16_t stamp[OAM_STAMP_FIELDS] = {2026, 12, 9, 10, static_cast<uint16_t>(n / 60000 % 60),
                                                  static_cast<uint16_t>(n / 1000 % 60), static_cast<uint16_t>(n % 1000)};
        std::string data = "msg " + std::to_string(n) + " arg " + std::to_string(n * 7919 % 65521);
        data.resize(16 + n % 40, static_cast<char>('a' + n % 26));
        const size_t len = OAM_RECORD_HDR_LEN + data.size();
        out += {static_cast<char>(OAM_RECORD_MARKER), 0, static_cast<char>(len), static_cast<char>(len >> 8)};
        out.append(reinterpret_cast<const char *>(stamp), sizeof(stamp));
        out += data;
    }
    return out;
}

// One frame with its content size and checksum, as the daemon writes it.
inline std::string frame(const std::string &content, int level = 3)
{
    ZSTD_CCtx *cctx = ZSTD_createCCtx();
    (void)ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level);
    (void)ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
    std::string out(ZSTD_compressBound(content.size()), '\0');
    const size_t n = ZSTD_compress2(cctx, out.data(), out.size(), content.data(), content.size());
    ZSTD_freeCCtx(cctx);
    out.resize(ZSTD_isError(n) ? 0 : n);
    return out;
}

// What a stream written by the code under test holds.
struct captured {
    FILE *f = tmpfile();
    ~captured() { (void)fclose(f); }
    std::string text()
    {
        std::string out(static_cast<size_t>(ftell(f)), '\0');
        rewind(f);
        out.resize(fread(out.data(), 1, out.size(), f));
        return out;
    }
};

// A zone with summer time (+0100, +0200 from March to October) for each
// case, the zone before given back after it; the time line starts empty.
class ZoneFixed : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *tz = getenv("TZ");
        saved_ = tz != nullptr ? tz : "";
        had_ = tz != nullptr;
        ASSERT_EQ(setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1), 0);
        tzset();
        oamlog_time_reset();
    }
    void TearDown() override
    {
        if (had_) {
            (void)setenv("TZ", saved_.c_str(), 1);
        } else {
            (void)unsetenv("TZ");
        }
        tzset();
    }
    std::string saved_;
    bool had_ = false;
};
