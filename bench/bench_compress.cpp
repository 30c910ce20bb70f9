// What compressed history buys: log files of two contents, as the daemon
// stores them (records with their headers and rising stamps), compressed by
// the daemon's own compressor at levels 1, 3 and 9.  Per content and level:
// the ratio, the compressor's CPU seconds per GiB, the hours of history a
// GiB of flash holds at 200 KiB/s of logs, and the share of one core the
// compressing thread needs at that rate.
//
//   bench_compress                      the table
//   bench_compress --sample KIND PATH N writes N bytes of a log file of KIND
//                                       (firmware or random) to PATH
//
// firmware: a Zipf mix (s = 1.1) of 400 message ids, each with 0 to 4
// small 32-bit integer arguments (mostly the value the message usually
// reports, else below 16, one in twenty below 65536) and a rising 32-bit
// tick counter (a few ticks apart, one message in twenty after a pause),
// 1 to 8 messages to a record, and one message in ten a printable text
// line.  random: records of
// random length and random bytes, as the load generator's mixed sizes.
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "common/oam_record.h"
#include "logcapture/log_budget.h"

namespace {

constexpr size_t FILE_BYTES = 10 * 1024 * 1024;  // one full log file of a user build
constexpr int FILES = 4;
constexpr double RATE = 200.0 * 1024;              // bytes of log files a second
constexpr double GIB = 1024.0 * 1024 * 1024;
constexpr int MSG_IDS = 400;

struct log_writer {
    std::vector<uint8_t> out;
    double t = 1765000000.0;  // seconds of the stamp clock

    void record(const uint8_t *data, size_t len)
    {
        const size_t rec_len = OAM_RECORD_HDR_LEN + len;
        const auto sec = static_cast<time_t>(t);
        struct tm tm {};
        (void)gmtime_r(&sec, &tm);
        const std::array<uint16_t, 7> stamp = {
            static_cast<uint16_t>(tm.tm_year + 1900), static_cast<uint16_t>(tm.tm_mon + 1),
            static_cast<uint16_t>(tm.tm_mday),        static_cast<uint16_t>(tm.tm_hour),
            static_cast<uint16_t>(tm.tm_min),         static_cast<uint16_t>(tm.tm_sec),
            static_cast<uint16_t>((t - static_cast<double>(sec)) * 1000)};
        out.push_back(OAM_RECORD_MARKER);
        out.push_back(0);
        out.push_back(static_cast<uint8_t>(rec_len & 0xFF));
        out.push_back(static_cast<uint8_t>(rec_len >> 8));
        const auto *s = reinterpret_cast<const uint8_t *>(stamp.data());
        out.insert(out.end(), s, s + OAM_STAMP_LEN);
        out.insert(out.end(), data, data + len);
        t += static_cast<double>(rec_len) / RATE;  // the logs arrive at RATE
    }
};

const char *const TEXTS[] = {
    "wlan0: scan done, %u results on channel %u\n", "bfg: link supervision timeout, handle %u\n",
    "gnss: fix lost after %u ms, %u satellites\n",   "pm: enter sleep, wake reason %u\n",
    "wlan0: rssi -%u dBm, rate %u Mbit/s\n",          "fm: tuned to %u.%u MHz\n",
    "bt: a2dp underrun, queue %u\n",                  "sdio: retry %u of cmd %u\n",
};

void firmware(log_writer &w, size_t bytes, uint32_t seed)
{
    std::mt19937 rng(seed);
    // Zipf over the message ids, s = 1.1.
    std::array<double, MSG_IDS> cdf {};
    double sum = 0;
    for (int i = 0; i < MSG_IDS; ++i) {
        sum += 1.0 / std::pow(i + 1, 1.1);
        cdf[i] = sum;
    }
    std::uniform_real_distribution<double> u(0, sum);
    uint32_t tick = 0;
    std::vector<uint8_t> rec;
    while (w.out.size() < bytes) {
        rec.clear();
        const int msgs = 1 + static_cast<int>(rng() % 8);
        for (int m = 0; m < msgs; ++m) {
            // Messages come in bursts: a few ticks apart, now and then a pause.
            tick += rng() % 20 == 0 ? rng() % 100000 : 1 + rng() % 50;
            if (rng() % 10 == 0) {
                char line[96];
                const int n = snprintf(line, sizeof(line), TEXTS[rng() % 8], static_cast<unsigned>(rng() % 100),
                                       static_cast<unsigned>(rng() % 14));
                rec.insert(rec.end(), line, line + n);
                continue;
            }
            const double x = u(rng);
            int id = 0;
            while (id < MSG_IDS - 1 && cdf[id] < x) {
                ++id;
            }
            const int args = id % 5;
            const uint8_t head[8] = {0x7E,
                                     static_cast<uint8_t>(id),
                                     static_cast<uint8_t>(id >> 8),
                                     static_cast<uint8_t>(args),
                                     static_cast<uint8_t>(tick),
                                     static_cast<uint8_t>(tick >> 8),
                                     static_cast<uint8_t>(tick >> 16),
                                     static_cast<uint8_t>(tick >> 24)};
            rec.insert(rec.end(), head, head + sizeof(head));
            for (int a = 0; a < args; ++a) {
                // Small 32-bit integers: mostly the state or count a message
                // usually reports, else a small number, seldom a wide one.
                const uint32_t pick = rng() % 100;
                const uint32_t v = pick < 60   ? static_cast<uint32_t>((id * 7 + a * 3) % 13)
                                   : pick < 95 ? rng() % 16
                                               : rng() % 65536;
                const uint8_t le[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                                       static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
                rec.insert(rec.end(), le, le + 4);
            }
        }
        w.record(rec.data(), rec.size());
    }
    w.out.resize(bytes);
}

void random_payloads(log_writer &w, size_t bytes, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> rec(OAM_RECORD_DATA_MAX);
    while (w.out.size() < bytes) {
        const size_t len = 8 + rng() % (OAM_RECORD_DATA_MAX - 8);
        for (size_t i = 0; i < len; ++i) {
            rec[i] = static_cast<uint8_t>(rng());
        }
        w.record(rec.data(), len);
    }
    w.out.resize(bytes);
}

std::vector<uint8_t> content(const std::string &kind, size_t bytes, uint32_t seed)
{
    log_writer w;
    w.out.reserve(bytes + OAM_RECORD_MAX_LEN);
    if (kind == "firmware") {
        firmware(w, bytes, seed);
    } else {
        random_payloads(w, bytes, seed);
    }
    return w.out;
}

double thread_cpu()
{
    timespec ts {};
    (void)clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The compressed size of one file and the CPU seconds it took.
bool compress_file(const std::vector<uint8_t> &file, int level, size_t *packed, double *cpu)
{
    const int src = memfd_create("plain", 0);
    const int dst = memfd_create("packed", 0);
    bool ok = src >= 0 && dst >= 0 && write(src, file.data(), file.size()) == static_cast<ssize_t>(file.size()) &&
              lseek(src, 0, SEEK_SET) == 0;
    if (ok) {
        char text[128];
        const double t0 = thread_cpu();
        const char *why = oam_compress_stream(src, dst, file.size(), level, text, sizeof(text));
        *cpu = thread_cpu() - t0;
        *packed = static_cast<size_t>(lseek(dst, 0, SEEK_END));
        if (why != nullptr) {
            fprintf(stderr, "compression failed: %s\n", why);
            ok = false;
        }
    }
    if (src >= 0) {
        close(src);
    }
    if (dst >= 0) {
        close(dst);
    }
    return ok;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 5 && strcmp(argv[1], "--sample") == 0) {
        const std::vector<uint8_t> data = content(argv[2], strtoull(argv[4], nullptr, 10), 1);
        FILE *f = fopen(argv[3], "wb");
        const bool ok = f != nullptr && fwrite(data.data(), 1, data.size(), f) == data.size();
        return f != nullptr && fclose(f) == 0 && ok ? 0 : 1;
    }
    if (argc != 1) {
        fprintf(stderr, "usage: bench_compress [--sample firmware|random PATH BYTES]\n");
        return 2;
    }
    printf("%d files of %zu MiB per content, the daemon's compressor (one frame, checksum, content size)\n\n", FILES,
           FILE_BYTES >> 20);
    printf("| content | level | ratio | CPU s per GiB | hours per GiB at 200 KiB/s | thread at 200 KiB/s |\n");
    printf("|---|---|---|---|---|---|\n");
    const double plain_hours = GIB / RATE / 3600;
    bool goal_ratio = false;
    bool goal_cpu = true;
    for (const char *kind : {"firmware", "random"}) {
        std::vector<std::vector<uint8_t>> files;
        for (int k = 0; k < FILES; ++k) {
            files.push_back(content(kind, FILE_BYTES, static_cast<uint32_t>(k + 1)));
        }
        printf("| %s | plain | 1.00 | - | %.2f | - |\n", kind, plain_hours);
        for (int level : {1, 3, 9}) {
            size_t in = 0;
            size_t out = 0;
            double cpu = 0;
            for (const auto &file : files) {
                size_t packed = 0;
                double secs = 0;
                if (!compress_file(file, level, &packed, &secs)) {
                    return 1;
                }
                in += file.size();
                out += packed;
                cpu += secs;
            }
            const double ratio = static_cast<double>(in) / static_cast<double>(out);
            const double cpu_per_gib = cpu * GIB / static_cast<double>(in);
            // At RATE a GiB arrives in GIB / RATE seconds.
            const double share = cpu_per_gib / (GIB / RATE) * 100;
            printf("| %s | %d | %.2f | %.2f | %.2f | %.3f %% |\n", kind, level, ratio, cpu_per_gib,
                   plain_hours * ratio, share);
            if (level == OAM_COMPRESS_LEVEL_DEFAULT) {
                goal_ratio = goal_ratio || (strcmp(kind, "firmware") == 0 && ratio >= 3.0);
                goal_cpu = goal_cpu && share < 5.0;
            }
        }
    }
    printf("\ngoals:\n  %s firmware-like content at level 3: >= 3x the history\n", goal_ratio ? "met   " : "MISSED");
    printf("  %s compressing thread at level 3 and 200 KiB/s: < 5 %% of one core\n", goal_cpu ? "met   " : "MISSED");
    return goal_ratio && goal_cpu ? 0 : 1;
}
