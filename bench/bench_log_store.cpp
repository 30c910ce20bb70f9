// Storing 64-byte log messages: a plain receive-and-write loop against the
// same receive followed by the log store, which adds the record header, the
// time stamp and the rotation bookkeeping.  Run it inside
// scripts/sandbox-exec: should the log file fail, the store's repair would
// create the device's log directories.
#include "logcapture/log_store.h"

#include "bench/msg_source.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int BATCH = 500;  // messages queued at a time
constexpr const char *WRITE_ERR = "[%s:%d]write bench log file err;errno:%s\n";
constexpr const char *SECOND_WRITE_ERR = "[%s:%d]second write bench log file err;errno:%s\n";

// Refilled BATCH messages at a time with the timer stopped, so that only
// the receiving side is measured.
struct bench_source {
    oam_msg_source src;
    int queued = 0;
};

ssize_t receive(benchmark::State &state, bench_source &bsrc, uint8_t *buf)
{
    if (bsrc.queued == 0) {
        state.PauseTiming();
        const bool filled = oam_msg_source_fill(bsrc.src, BATCH);
        state.ResumeTiming();
        if (!filled) {
            return -1;
        }
        bsrc.queued = BATCH;
    }
    --bsrc.queued;
    return recv(bsrc.src.rd, buf + OAM_RECORD_HDR_LEN, OAM_RECORD_DATA_MAX, 0);
}

std::string make_temp_dir()
{
    char tmpl[] = "/tmp/benchlog.XXXXXX";
    return mkdtemp(tmpl) != nullptr ? std::string(tmpl) : std::string();
}

uint8_t g_bench_buf[OAM_BUF_LEN];

void BM_RawReceiveAndWrite(benchmark::State &state)
{
    const std::string dir = make_temp_dir();
    bench_source src;
    if (dir.empty() || !oam_msg_source_open(src.src)) {
        state.SkipWithError("no temp dir or pipe");
        return;
    }
    const std::string path = dir + "/raw";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    for (auto _ : state) {
        const ssize_t n = receive(state, src, g_bench_buf);
        if (n <= 0 || write(fd, g_bench_buf + OAM_RECORD_HDR_LEN, static_cast<size_t>(n)) != n) {
            state.SkipWithError("raw loop failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    close(fd);
    oam_msg_source_close(src.src);
    std::filesystem::remove_all(dir);
}

void BM_ReceiveAndStoreRecord(benchmark::State &state)
{
    const std::string dir = make_temp_dir();
    bench_source src;
    if (dir.empty() || !oam_msg_source_open(src.src)) {
        state.SkipWithError("no temp dir or pipe");
        return;
    }
    oam_log_desc desc;
    oam_msg_source_log_desc(desc, dir);
    if (oam_get_log_file(&desc) != 0) {
        state.SkipWithError("cannot open the log file");
        oam_msg_source_close(src.src);
        return;
    }
    for (auto _ : state) {
        const ssize_t n = receive(state, src, g_bench_buf);
        if (n <= 0) {
            state.SkipWithError("receive failed");
            break;
        }
        oam_log_store_record(&desc, g_bench_buf, static_cast<uint32_t>(n), WRITE_ERR, SECOND_WRITE_ERR);
    }
    state.SetItemsProcessed(state.iterations());
    if (desc.fp != nullptr) {
        fclose(desc.fp);
    }
    oam_msg_source_close(src.src);
    std::filesystem::remove_all(dir);
}

BENCHMARK(BM_RawReceiveAndWrite);
BENCHMARK(BM_ReceiveAndStoreRecord);

}  // namespace

BENCHMARK_MAIN();
