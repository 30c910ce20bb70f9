// Rotated log files the daemon compressed, read as a stream: the decoder
// holds one window and one input buffer whatever the file's size, and
// nothing is written anywhere.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <zstd.h>
#include <zstd_errors.h>

#include "oamlog/read_zst.h"
#include "oamlog/reader_status.h"

namespace {

constexpr size_t OAMLOG_ZST_IN_LEN = 65536;
// The daemon compresses files of at most the size limit of the log
// settings; a frame asking for a larger window is refused instead of
// making the reader take that much memory.
constexpr int OAMLOG_ZST_WINDOW_LOG_MAX = 27;
constexpr std::string_view OAMLOG_ZST_SUFFIX = ".zst";

}  // namespace

struct oamlog_zst {
    ZSTD_DCtx *dctx;
    size_t file;       // the index in the source's files of the file decoded
    uint64_t in_off;   // compressed bytes read from it
    uint64_t out_off;  // content bytes decoded from it
    std::vector<uint8_t> in;
    size_t in_pos;
    bool in_eof;
    bool frame_open;   // a frame was begun and not yet ended
    bool stopped;      // damage: nothing more is decoded from this file
    std::vector<uint8_t> dec;  // decoded, not yet handed out from dec_pos to dec_len
    size_t dec_pos;
    size_t dec_len;
    uint64_t slow_from;  // input offset from which it is given byte by byte
    uint64_t hand_from;  // content offset from which decoded bytes are handed out
};

namespace {

void oamlog_zst_restart(oamlog_zst *z, size_t file)
{
    (void)ZSTD_DCtx_reset(z->dctx, ZSTD_reset_session_only);
    z->file = file;
    z->in_off = 0;
    z->out_off = 0;
    z->in.clear();
    z->in_pos = 0;
    z->in_eof = false;
    z->frame_open = false;
    z->stopped = false;
    z->dec_pos = 0;
    z->dec_len = 0;
    z->slow_from = UINT64_MAX;
    z->hand_from = 0;
}

oamlog_zst *oamlog_zst_new()
{
    ZSTD_DCtx *dctx = ZSTD_createDCtx();
    if (dctx == nullptr) {
        return nullptr;
    }
    (void)ZSTD_DCtx_setParameter(dctx, ZSTD_d_windowLogMax, OAMLOG_ZST_WINDOW_LOG_MAX);
    auto *z = new oamlog_zst{dctx, SIZE_MAX, 0, 0, {}, 0, false, false, false, {}, 0, 0, UINT64_MAX, 0};
    z->in.reserve(OAMLOG_ZST_IN_LEN);
    z->dec.resize(ZSTD_DStreamOutSize());
    return z;
}

void oamlog_zst_free(oamlog_zst *z)
{
    if (z != nullptr) {
        (void)ZSTD_freeDCtx(z->dctx);
        delete z;
    }
}

// Takes more compressed bytes when all are used; false at the file's end.
bool oamlog_zst_refill(oamlog_zst *z, int fd)
{
    if (z->in_pos < z->in.size()) {
        return true;
    }
    if (z->in_eof) {
        return false;
    }
    z->in.resize(OAMLOG_ZST_IN_LEN);
    ssize_t n;
    do {
        n = pread(fd, z->in.data(), OAMLOG_ZST_IN_LEN, static_cast<off_t>(z->in_off));
    } while (n < 0 && errno == EINTR);
    z->in.resize(n > 0 ? static_cast<size_t>(n) : 0);
    z->in_pos = 0;
    z->in_off += z->in.size();
    z->in_eof = n <= 0;
    return n > 0;
}

// Decodes the next stretch into the decoder's own buffer.  A call that
// fails (damage, a wrong content checksum) hands out nothing of what it
// decoded before the failure in the same call: that stretch is decoded again
// from the file's start with its input given byte by byte, so that the
// failure is met in a call of its own and every good block is kept.
void oamlog_zst_decode(oamlog_source *src, oamlog_zst *z)
{
    const oamlog_file &f = src->files[z->file];
    z->dec_pos = 0;
    z->dec_len = 0;
    while (z->dec_len == 0 && !z->stopped) {
        if (!oamlog_zst_refill(z, f.fd)) {
            // A file that ends inside a frame (or holds none) was cut short.
            if (z->frame_open || z->in_off == 0) {
                oamlog_report_file(src, z->out_off, "compressed frame cut short", false);
            }
            z->stopped = true;
            return;
        }
        const uint64_t in_at = z->in_off - (z->in.size() - z->in_pos);
        const size_t in_end = in_at >= z->slow_from ? z->in_pos + 1 : z->in.size();
        ZSTD_inBuffer ib{z->in.data(), in_end, z->in_pos};
        ZSTD_outBuffer ob{z->dec.data(), z->dec.size(), 0};
        const size_t ret = ZSTD_decompressStream(z->dctx, &ob, &ib);
        z->in_pos = ib.pos;
        if (ZSTD_isError(ret) && z->slow_from == UINT64_MAX) {
            const uint64_t handed = z->out_off;
            oamlog_zst_restart(z, z->file);
            z->slow_from = in_at;
            z->hand_from = handed;
            continue;
        }
        // Again from the start: what was handed out before is passed over.
        const uint64_t before = z->out_off;
        z->out_off += ob.pos;
        z->dec_pos = z->out_off <= z->hand_from ? ob.pos
                                                : static_cast<size_t>(z->hand_from > before ? z->hand_from - before : 0);
        z->dec_len = ob.pos;
        if (z->dec_pos == z->dec_len) {
            z->dec_pos = 0;
            z->dec_len = 0;
        }
        if (ZSTD_isError(ret)) {
            char what[160] = "content checksum wrong";
            const bool kept = ZSTD_getErrorCode(ret) == ZSTD_error_checksum_wrong;
            if (!kept) {
                struct stat st {};
                const uint64_t size = fstat(f.fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : z->in_off;
                (void)snprintf(what, sizeof(what), "compressed data damaged (%s) at compressed byte %llu of %llu",
                               ZSTD_getErrorName(ret), static_cast<unsigned long long>(in_at),
                               static_cast<unsigned long long>(size));
            }
            oamlog_report_file(src, z->out_off, what, kept);
            z->stopped = true;
            return;
        }
        z->frame_open = ret != 0;
    }
}

// Hands out up to cap decoded bytes; discards them when out is null.
uint64_t oamlog_zst_take(oamlog_source *src, oamlog_zst *z, uint8_t *out, uint64_t cap)
{
    uint64_t got = 0;
    while (got < cap) {
        if (z->dec_pos == z->dec_len) {
            oamlog_zst_decode(src, z);
            if (z->dec_len == 0) {
                break;
            }
        }
        const size_t n = static_cast<size_t>(std::min<uint64_t>(cap - got, z->dec_len - z->dec_pos));
        if (out != nullptr) {
            memcpy(out + got, z->dec.data() + z->dec_pos, n);
        }
        z->dec_pos += n;
        got += n;
    }
    return got;
}

// The content offset of the next byte handed out.
uint64_t oamlog_zst_place(const oamlog_zst *z)
{
    return z->out_off - (z->dec_len - z->dec_pos);
}

}  // namespace

oamlog_zst_ref &oamlog_zst_ref::operator=(const oamlog_zst_ref &other)
{
    if (this != &other) {
        oamlog_zst_free(z);
        z = nullptr;
    }
    return *this;
}

oamlog_zst_ref &oamlog_zst_ref::operator=(oamlog_zst_ref &&other) noexcept
{
    if (this != &other) {
        oamlog_zst_free(z);
        z = other.z;
        other.z = nullptr;
    }
    return *this;
}

oamlog_zst_ref::~oamlog_zst_ref()
{
    oamlog_zst_free(z);
}

bool oamlog_zst_name(const std::string &path)
{
    return path.size() > OAMLOG_ZST_SUFFIX.size() && path.ends_with(OAMLOG_ZST_SUFFIX);
}

size_t oamlog_zst_read(oamlog_source *src, uint8_t *out, size_t cap, uint64_t at)
{
    if (src->zst.z == nullptr && (src->zst.z = oamlog_zst_new()) == nullptr) {
        oamlog_error("%s: no memory for the decoder", oamlog_name_text(src->files[src->cur].path.c_str()).c_str());
        return 0;
    }
    oamlog_zst *z = src->zst.z;
    // A stream cannot seek: what lies before the decoder's place is read
    // from the start again, quietly (its damage was told the first time).
    const bool again = z->file == src->cur && at < oamlog_zst_place(z);
    if (z->file != src->cur || again) {
        oamlog_zst_restart(z, src->cur);
    }
    const bool quiet = src->quiet;
    src->quiet = quiet || again;
    const uint64_t skip = at - oamlog_zst_place(z);
    const bool there = skip == 0 || oamlog_zst_take(src, z, nullptr, skip) == skip;
    src->quiet = quiet;
    return there ? static_cast<size_t>(oamlog_zst_take(src, z, out, cap)) : 0;
}

bool oamlog_zst_same(int zst_fd, int plain_fd)
{
    struct stat st {};
    std::array<uint8_t, 512> head{};
    const ssize_t n = pread(zst_fd, head.data(), head.size(), 0);
    if (n <= 0 || fstat(plain_fd, &st) != 0) {
        return false;
    }
    // Told by the first frame header's size when it is more than the plain
    // file holds, else by the content (a file may hold several frames).
    const unsigned long long first = ZSTD_getFrameContentSize(head.data(), static_cast<size_t>(n));
    const auto size = static_cast<uint64_t>(st.st_size);
    if (first != ZSTD_CONTENTSIZE_UNKNOWN && (first == ZSTD_CONTENTSIZE_ERROR || first > size)) {
        return false;
    }
    oamlog_source probe{};
    probe.quiet = true;
    probe.files.push_back({"", 0, zst_fd, 0, 0});
    std::vector<uint8_t> a(OAMLOG_ZST_IN_LEN);
    std::vector<uint8_t> b(OAMLOG_ZST_IN_LEN);
    for (uint64_t at = 0; at < size;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(a.size(), size - at));
        const size_t got = oamlog_zst_read(&probe, a.data(), want, at);
        const ssize_t plain = pread(plain_fd, b.data(), got, static_cast<off_t>(at));
        if (got == 0 || plain != static_cast<ssize_t>(got) || memcmp(a.data(), b.data(), got) != 0) {
            return false;
        }
        at += got;
    }
    return oamlog_zst_read(&probe, a.data(), 1, size) == 0;
}

namespace {

constexpr uint32_t ZST_MAGIC = 0xFD2FB528U;
constexpr uint32_t ZST_SKIPPABLE_MAGIC = 0x184D2A50U;  // the low four bits are free
constexpr size_t ZST_BLOCK_HEADER_LEN = 3;
constexpr size_t ZST_CHECKSUM_LEN = 4;
constexpr unsigned ZST_BLOCK_RLE = 1;
constexpr unsigned ZST_BLOCK_RESERVED = 3;

uint32_t zst_le(const uint8_t *p, size_t n)
{
    uint32_t v = 0;
    for (size_t i = n; i-- > 0;) {
        v = v << 8 | p[i];
    }
    return v;
}

// The declared content of the frames from *off on, frame by frame from
// their headers and block headers alone: 0 with the sum, -1 where a frame
// does not declare its size or is damaged.
int zst_frames_size(int fd, uint64_t file_size, uint64_t *total)
{
    std::array<uint8_t, 18> head{};  // the longest frame header
    for (uint64_t off = 0; off < file_size;) {
        const ssize_t n = pread(fd, head.data(), head.size(), static_cast<off_t>(off));
        if (n < 8) {
            return -1;
        }
        const uint32_t magic = zst_le(head.data(), 4);
        if ((magic & 0xFFFFFFF0U) == ZST_SKIPPABLE_MAGIC) {
            off += 8 + static_cast<uint64_t>(zst_le(head.data() + 4, 4));
            continue;
        }
        const unsigned long long size = ZSTD_getFrameContentSize(head.data(), static_cast<size_t>(n));
        if (magic != ZST_MAGIC || size == ZSTD_CONTENTSIZE_UNKNOWN || size == ZSTD_CONTENTSIZE_ERROR) {
            return -1;
        }
        const uint8_t fhd = head[4];
        const bool single = (fhd >> 5 & 1U) != 0;
        constexpr std::array<size_t, 4> dict_len = {0, 1, 2, 4};
        const std::array<size_t, 4> size_len = {single ? 1U : 0U, 2, 4, 8};
        off += 5 + (single ? 0 : 1) + dict_len[fhd & 3U] + size_len[fhd >> 6];
        for (bool last = false; !last;) {
            uint8_t bh[ZST_BLOCK_HEADER_LEN];
            if (pread(fd, bh, sizeof(bh), static_cast<off_t>(off)) != static_cast<ssize_t>(sizeof(bh))) {
                return -1;
            }
            const uint32_t v = zst_le(bh, sizeof(bh));
            const unsigned type = v >> 1 & 3U;
            if (type == ZST_BLOCK_RESERVED) {
                return -1;
            }
            last = (v & 1U) != 0;
            off += ZST_BLOCK_HEADER_LEN + (type == ZST_BLOCK_RLE ? 1 : v >> 3);
        }
        off += (fhd >> 2 & 1U) != 0 ? ZST_CHECKSUM_LEN : 0;
        *total += size;
    }
    return 0;
}

}  // namespace

uint64_t oamlog_zst_content_size(int fd)
{
    // Every frame counts, a skippable one with nothing; a file that does
    // not tell its sizes (or is damaged) is counted by decoding it.
    struct stat st {};
    uint64_t total = 0;
    if (fstat(fd, &st) == 0 && zst_frames_size(fd, static_cast<uint64_t>(st.st_size), &total) == 0) {
        return total;
    }
    oamlog_source probe{};
    probe.quiet = true;
    probe.files.push_back({"", 0, fd, 0, 0});
    std::vector<uint8_t> buf(OAMLOG_ZST_IN_LEN);
    total = 0;
    for (size_t got; (got = oamlog_zst_read(&probe, buf.data(), buf.size(), total)) > 0;) {
        total += got;
    }
    return total;
}
