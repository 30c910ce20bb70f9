// The store path must keep up with a plain receive-and-write loop: a record
// is one write system call, with the time stamp as the only extra work.
#include "logcapture/log_store.h"

#include "bench/msg_source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define OAM_SANITIZED_BUILD 1
#endif

namespace {

#ifndef OAM_SANITIZED_BUILD

constexpr int MESSAGES = 200000;  // per loop and round
constexpr int ROUNDS = 3;
constexpr int BATCH = 500;  // messages queued at a time; divides MESSAGES
constexpr const char *WRITE_ERR = "[%s:%d]write perf log file err;errno:%s\n";
constexpr const char *SECOND_WRITE_ERR = "[%s:%d]second write perf log file err;errno:%s\n";
static_assert(MESSAGES % BATCH == 0);

// Thread CPU time, system time included: what the loop itself costs, less
// disturbed by whatever else the machine is running.
double cpu_seconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double raw_batch(oam_msg_source &src, int fd, uint8_t *buf)
{
    const double start = cpu_seconds();
    for (int i = 0; i < BATCH; ++i) {
        const ssize_t n = recv(src.rd, buf + OAM_RECORD_HDR_LEN, OAM_RECORD_DATA_MAX, 0);
        if (n <= 0 || write(fd, buf + OAM_RECORD_HDR_LEN, static_cast<size_t>(n)) != n) {
            return -1.0;
        }
    }
    return cpu_seconds() - start;
}

double store_batch(oam_msg_source &src, oam_log_desc &desc, uint8_t *buf)
{
    const double start = cpu_seconds();
    for (int i = 0; i < BATCH; ++i) {
        const ssize_t n = recv(src.rd, buf + OAM_RECORD_HDR_LEN, OAM_RECORD_DATA_MAX, 0);
        if (n <= 0) {
            return -1.0;
        }
        oam_log_store_record(&desc, buf, static_cast<uint32_t>(n), WRITE_ERR, SECOND_WRITE_ERR);
    }
    return cpu_seconds() - start;
}

// MESSAGES through each loop into fresh files, one batch of each in turn so
// that both see the same state of the machine; one speed ratio per pair.
bool run_round(oam_msg_source &src, const std::string &raw_path, oam_log_desc &desc, uint8_t *buf,
               std::vector<double> &ratios)
{
    const int fd = open(raw_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_TRUNC, 0644);
    if (fd < 0) {
        return false;
    }
    if (desc.fp != nullptr) {
        fclose(desc.fp);
        desc.fp = nullptr;
    }
    unlink(desc.file_path);
    bool ok = oam_get_log_file(&desc) == 0;
    desc.write_count = 0;
    for (int done = 0; ok && done < MESSAGES; done += BATCH) {
        const double raw = oam_msg_source_fill(src, BATCH) ? raw_batch(src, fd, buf) : -1.0;
        const double stored = oam_msg_source_fill(src, BATCH) ? store_batch(src, desc, buf) : -1.0;
        ok = raw > 0.0 && stored > 0.0;
        if (ok) {
            ratios.push_back(raw / stored);
        }
    }
    close(fd);
    return ok;
}

#endif  // OAM_SANITIZED_BUILD

TEST(LogStorePerf, StoreKeepsUpWithARawReceiveAndWriteLoop)
{
#ifdef OAM_SANITIZED_BUILD
    GTEST_SKIP() << "timing is meaningless under a sanitizer";
#else
    char tmpl[] = "/tmp/logperf.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;

    oam_msg_source src;
    ASSERT_TRUE(oam_msg_source_open(src));

    oam_log_desc desc;
    oam_msg_source_log_desc(desc, dir);

    static uint8_t buf[OAM_BUF_LEN];
    std::vector<double> ratios;
    ratios.reserve(ROUNDS * (MESSAGES / BATCH));
    for (int round = 0; round < ROUNDS; ++round) {
        ASSERT_TRUE(run_round(src, dir + "/raw", desc, buf, ratios));
        EXPECT_EQ(desc.file_size, static_cast<int64_t>(MESSAGES) * (OAM_RECORD_HDR_LEN + OAM_MSG_SOURCE_LEN));
    }
    if (desc.fp != nullptr) {
        fclose(desc.fp);
    }
    oam_msg_source_close(src);
    std::filesystem::remove_all(dir);

    // The median pair: a batch that an interrupt or another process happened
    // to slow down does not decide the result either way.
    std::sort(ratios.begin(), ratios.end());
    const double ratio = ratios[ratios.size() / 2];
    RecordProperty("ratio", std::to_string(ratio));
    std::printf("store speed / raw speed: median %.3f, quartiles %.3f %.3f\n", ratio, ratios[ratios.size() / 4],
                ratios[3 * ratios.size() / 4]);
    EXPECT_GE(ratio, 0.9);
#endif
}

}  // namespace
