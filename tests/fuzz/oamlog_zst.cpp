// The compressed-file reader on any bytes: it never reads outside what it
// was given, a frame that decodes whole reads back to exactly what a
// one-shot decode gives (in pieces of any size), and the records parsed
// from it lie inside the content.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>
#include <zstd.h>

#include "oamlog/read_source.h"
#include "oamlog/read_zst.h"

namespace {

int fuzz_file(const uint8_t *data, size_t size)
{
    const int fd = memfd_create("wifi_log_2.zst", MFD_CLOEXEC);
    if (fd < 0 || (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size))) {
        abort();
    }
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static FILE *sink = fopen("/dev/null", "w");
    g_oamlog_damage_out = sink;
    const int fd = fuzz_file(data, size);
    oamlog_source src{};
    src.core = "wifi";
    src.files.push_back({"wifi_log_2.zst", 2, fd, 0, 0});

    // The content in pieces of a size told by the input.
    const size_t step = size > 0 ? 1 + data[size - 1] % 4096 : 1;
    std::vector<uint8_t> streamed;
    std::vector<uint8_t> piece(step);
    for (size_t got; (got = oamlog_zst_read(&src, piece.data(), step, streamed.size())) > 0;) {
        if (got > step) {
            abort();
        }
        streamed.insert(streamed.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(got));
        if (streamed.size() > (64U << 20)) {
            break;  // a frame that says it holds more than any log file
        }
    }
    // Read again from a place before the decoder's: the same bytes.
    if (streamed.size() > 1) {
        std::vector<uint8_t> again(streamed.size() / 2);
        const size_t at = streamed.size() - again.size();
        if (oamlog_zst_read(&src, again.data(), again.size(), at) != again.size() ||
            memcmp(again.data(), streamed.data() + at, again.size()) != 0) {
            abort();
        }
    }
    const unsigned long long declared = ZSTD_getFrameContentSize(data, size);
    if (declared != ZSTD_CONTENTSIZE_UNKNOWN && declared != ZSTD_CONTENTSIZE_ERROR && declared <= (1U << 20) &&
        ZSTD_findFrameCompressedSize(data, size) == size) {
        std::vector<uint8_t> whole(declared > 0 ? static_cast<size_t>(declared) : 1);
        const size_t n = ZSTD_decompress(whole.data(), whole.size(), data, size);
        if (!ZSTD_isError(n) && (n != streamed.size() || memcmp(whole.data(), streamed.data(), n) != 0)) {
            abort();
        }
    }

    // The records: each inside the content read.
    oamlog_source reader{};
    reader.core = "wifi";
    reader.files.push_back({"wifi_log_2.zst", 2, fd, 0, 0});
    oamlog_rec rec{};
    uint64_t end = 0;
    while (oamlog_next(&reader, &rec) > 0) {
        if (rec.offset < end || rec.rec_len < OAM_RECORD_HDR_LEN || rec.offset + rec.rec_len > streamed.size() ||
            memcmp(rec.data, streamed.data() + rec.offset + OAM_RECORD_HDR_LEN, rec.data_len) != 0) {
            abort();
        }
        end = rec.offset + rec.rec_len;
    }
    (void)close(fd);
    return 0;
}
