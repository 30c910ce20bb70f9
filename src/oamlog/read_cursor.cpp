// The cursor as text, and its file replaced so that a power cut leaves
// either the old cursor or the new one, never a part.
#include "oamlog/read_cursor.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/oam_file.h"
#include "oamlog/read_source.h"
#include "oamlog/reader_status.h"

namespace {

constexpr std::string_view OAMLOG_CURSOR_VERSION = "oc1";
constexpr size_t OAMLOG_CURSOR_FILE_MAX = 64 * 1024;  // far beyond any cursor written
constexpr size_t OAMLOG_STAMP_DIGITS = 17;
// The digits each stamp field takes in the text (year to millisecond).
constexpr std::array<int, OAM_STAMP_FIELDS> OAMLOG_FIELD_DIGITS = {4, 2, 2, 2, 2, 2, 3};
constexpr char OAMLOG_HEX[] = "0123456789abcdef";
// The journal's entry; a core of that name is written escaped.
constexpr std::string_view OAMLOG_JOURNAL_NAME = "journal";

bool oamlog_name_char_plain(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.';
}

// A name with what could end a field escaped (%XX); the journal's (empty)
// is "journal", and a core of that name is escaped.
char *oamlog_put_name(char *p, char *end, std::string_view name)
{
    if (name.empty()) {
        name = OAMLOG_JOURNAL_NAME;
        for (size_t i = 0; i < name.size() && p < end; ++i) {
            *p++ = name[i];
        }
        return p;
    }
    const bool reserved = name == OAMLOG_JOURNAL_NAME;
    for (size_t i = 0; i < name.size() && p + 3 < end; ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (oamlog_name_char_plain(c) && !(reserved && i == 0)) {
            *p++ = static_cast<char>(c);
        } else {
            *p++ = '%';
            *p++ = OAMLOG_HEX[c >> 4];
            *p++ = OAMLOG_HEX[c & 15];
        }
    }
    return p;
}

char *oamlog_put_dec(char *p, char *end, uint64_t v)
{
    char digits[20];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0 && p < end) {
        *p++ = digits[--n];
    }
    return p;
}

char *oamlog_put_stamp(char *p, char *end, const uint16_t *stamp)
{
    bool fits = false;
    for (int f = 0; f < OAM_STAMP_FIELDS; ++f) {
        fits = fits || stamp[f] != 0;
    }
    unsigned limit = 1;
    for (int f = 0; f < OAM_STAMP_FIELDS && fits; ++f) {
        limit = 1;
        for (int d = 0; d < OAMLOG_FIELD_DIGITS[f]; ++d) {
            limit *= 10;
        }
        fits = stamp[f] < limit;
    }
    if (!fits || end - p < static_cast<ptrdiff_t>(OAMLOG_STAMP_DIGITS)) {
        if (p < end) {
            *p++ = '-';
        }
        return p;
    }
    for (int f = 0; f < OAM_STAMP_FIELDS; ++f) {
        unsigned v = stamp[f];
        for (int d = OAMLOG_FIELD_DIGITS[f] - 1; d >= 0; --d) {
            p[d] = static_cast<char>('0' + v % 10);
            v /= 10;
        }
        p += OAMLOG_FIELD_DIGITS[f];
    }
    return p;
}

// NAME:ID:AT:LEN:STAMP at p.
char *oamlog_put_pos(char *p, char *end, std::string_view name, uint64_t id, uint64_t at, uint32_t len,
                     const uint16_t *stamp)
{
    p = oamlog_put_name(p, end, name);
    if (end - p < 18) {
        return p;
    }
    *p++ = ':';
    for (int shift = 60; shift >= 0; shift -= 4) {
        *p++ = OAMLOG_HEX[(id >> shift) & 15];
    }
    if (p < end) {
        *p++ = ':';
    }
    p = oamlog_put_dec(p, end, at);
    if (p < end) {
        *p++ = ':';
    }
    p = oamlog_put_dec(p, end, len);
    if (p < end) {
        *p++ = ':';
    }
    return oamlog_put_stamp(p, end, stamp);
}

int oamlog_hex_value(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool oamlog_parse_dec(std::string_view text, uint64_t max, uint64_t *v)
{
    if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0')) {
        return false;
    }
    uint64_t n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9' || n > (max - static_cast<uint64_t>(c - '0')) / 10) {
            return false;
        }
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    *v = n;
    return true;
}

bool oamlog_parse_name(std::string_view text, std::string *name)
{
    name->clear();
    if (text == OAMLOG_JOURNAL_NAME) {
        return true;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '%' && i + 2 < text.size() && oamlog_hex_value(text[i + 1]) >= 0 &&
            oamlog_hex_value(text[i + 2]) >= 0) {
            name->push_back(static_cast<char>(oamlog_hex_value(text[i + 1]) * 16 + oamlog_hex_value(text[i + 2])));
            i += 2;
        } else if (oamlog_name_char_plain(c)) {
            name->push_back(static_cast<char>(c));
        } else {
            return false;
        }
    }
    return !name->empty();
}

bool oamlog_parse_stamp(std::string_view text, uint16_t *stamp)
{
    if (text == "-") {
        std::memset(stamp, 0, sizeof(uint16_t) * OAM_STAMP_FIELDS);
        return true;
    }
    if (text.size() != OAMLOG_STAMP_DIGITS) {
        return false;
    }
    size_t at = 0;
    for (int f = 0; f < OAM_STAMP_FIELDS; ++f) {
        unsigned v = 0;
        for (int d = 0; d < OAMLOG_FIELD_DIGITS[f]; ++d, ++at) {
            if (text[at] < '0' || text[at] > '9') {
                return false;
            }
            v = v * 10 + static_cast<unsigned>(text[at] - '0');
        }
        stamp[f] = static_cast<uint16_t>(v);
    }
    return true;
}

// One NAME:ID:AT:LEN:STAMP entry.
bool oamlog_parse_pos(std::string_view text, oamlog_pos *pos)
{
    std::string_view field[5];
    for (int i = 0; i < 5; ++i) {
        const size_t colon = i < 4 ? text.find(':') : std::string_view::npos;
        if (i < 4 && colon == std::string_view::npos) {
            return false;
        }
        field[i] = text.substr(0, colon);
        text = colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
    }
    uint64_t len = 0;
    if (!oamlog_parse_name(field[0], &pos->name) || field[1].size() != 16 ||
        !oamlog_parse_dec(field[2], INT64_MAX, &pos->at) || !oamlog_parse_dec(field[3], UINT16_MAX, &len) ||
        !oamlog_parse_stamp(field[4], pos->stamp)) {
        return false;
    }
    pos->id = 0;
    for (const char c : field[1]) {
        const int v = oamlog_hex_value(c);
        if (v < 0) {
            return false;
        }
        pos->id = pos->id << 4 | static_cast<uint64_t>(v);
    }
    pos->len = static_cast<uint32_t>(len);
    // A record has its header at least; a journal line has no length.
    const bool journal = pos->name.empty();
    return journal ? len == 0 : len >= static_cast<uint64_t>(OAM_RECORD_HDR_LEN);
}

}  // namespace

uint64_t oamlog_hash(const void *data, size_t len)
{
    const auto *p = static_cast<const unsigned char *>(data);
    uint64_t h = 0xcbf29ce484222325ULL;
    for (size_t i = 0; i < len; ++i) {
        h = (h ^ p[i]) * 0x100000001b3ULL;
    }
    return h;
}

size_t oamlog_entry_cursor(char *buf, size_t cap, std::string_view name, uint64_t id, uint64_t at, uint32_t len,
                           const uint16_t *stamp)
{
    if (cap == 0) {
        return 0;
    }
    char *end = buf + cap - 1;
    char *p = buf;
    for (const char c : OAMLOG_CURSOR_VERSION) {
        *p++ = c;
    }
    *p++ = ';';
    p = oamlog_put_pos(p, end, name, id, at, len, stamp);
    *p = '\0';
    return static_cast<size_t>(p - buf);
}

std::string oamlog_cursor_text(const std::vector<oamlog_pos> &positions)
{
    std::string text(OAMLOG_CURSOR_VERSION);
    for (const oamlog_pos &pos : positions) {
        char entry[OAMLOG_ENTRY_CURSOR_MAX];
        char *end = oamlog_put_pos(entry, entry + sizeof(entry), pos.name, pos.id, pos.at, pos.len, pos.stamp);
        text.push_back(';');
        text.append(entry, end);
    }
    return text;
}

int oamlog_cursor_parse(std::string_view text, std::vector<oamlog_pos> *out, std::string *why)
{
    out->clear();
    if (!text.empty() && text.back() == '\n') {
        text.remove_suffix(1);
    }
    const size_t head_end = text.find(';');
    const std::string_view head = text.substr(0, head_end);
    size_t digits = 0;
    while (head.size() > 2 + digits && head[2 + digits] >= '0' && head[2 + digits] <= '9') {
        ++digits;
    }
    if (head.size() < 3 || head.substr(0, 2) != "oc" || digits == 0 || 2 + digits != head.size()) {
        *why = "it is not a cursor of oamlog";
        return -1;
    }
    if (head != OAMLOG_CURSOR_VERSION) {
        *why = "it is a cursor of another version of oamlog (" + std::string(head) + ", this one reads " +
               std::string(OAMLOG_CURSOR_VERSION) + ")";
        return -1;
    }
    std::string_view rest = head_end == std::string_view::npos ? std::string_view() : text.substr(head_end + 1);
    while (head_end != std::string_view::npos) {
        const size_t semi = rest.find(';');
        oamlog_pos pos{};
        if (!oamlog_parse_pos(rest.substr(0, semi), &pos)) {
            *why = "it is damaged (position " + std::to_string(out->size() + 1) + ")";
            return -1;
        }
        for (const oamlog_pos &other : *out) {
            if (other.name == pos.name) {
                *why = "it is damaged (two positions of " +
                       (pos.name.empty() ? std::string(OAMLOG_JOURNAL_NAME) : oamlog_name_text(pos.name.c_str())) + ")";
                return -1;
            }
        }
        out->push_back(pos);
        if (semi == std::string_view::npos) {
            break;
        }
        rest = rest.substr(semi + 1);
    }
    return 0;
}

int oamlog_cursor_load(const std::string &path, std::string *text)
{
    struct stat st {};
    const int fd = oam_open_regular(path.c_str(), O_RDONLY | O_NOCTTY, 0, &st);
    if (fd == -1 && errno == ENOENT) {
        return 0;
    }
    if (fd < 0) {
        oamlog_error("%s: %s", oamlog_name_text(path.c_str()).c_str(),
                     fd == -2 ? "the cursor file is not a regular file" : strerror(errno));
        return -1;
    }
    text->clear();
    char buf[4096];
    ssize_t n = 0;
    while (text->size() <= OAMLOG_CURSOR_FILE_MAX &&
           ((n = read(fd, buf, sizeof(buf))) > 0 || (n < 0 && errno == EINTR))) {
        if (n > 0) {
            text->append(buf, static_cast<size_t>(n));
        }
    }
    const int err = errno;
    (void)close(fd);
    if (n < 0) {
        oamlog_error("%s: %s", oamlog_name_text(path.c_str()).c_str(), strerror(err));
        return -1;
    }
    return 1;
}

int oamlog_cursor_store(const std::string &path, const std::string &text)
{
    const std::string tmp = path + ".tmp";
    struct stat st {};
    // A link or a FIFO put under the temporary name is never written through.
    (void)unlink(tmp.c_str());
    const int fd = oam_open_regular(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644, &st);
    const std::string line = text + "\n";
    bool ok = fd >= 0 && oam_write_all(fd, line.data(), line.size()) == 0 && fsync(fd) == 0;
    const int err = errno;
    if (fd >= 0) {
        ok = close(fd) == 0 && ok;
    }
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        const int why = ok ? errno : err;
        (void)unlink(tmp.c_str());
        oamlog_error("%s: cannot write the cursor: %s", oamlog_name_text(path.c_str()).c_str(), strerror(why));
        return -1;
    }
    (void)oam_sync_dir_of(path.c_str());
    return 0;
}

oamlog_pos_found oamlog_cursor_find(const oamlog_source &src, const oamlog_pos &pos)
{
    const bool stamped = std::any_of(pos.stamp, pos.stamp + OAM_STAMP_FIELDS, [](uint16_t f) { return f != 0; });
    oamlog_pos_found found{-1, 0};
    for (size_t i = 0; i < src.files.size() && found.records == 0; ++i) {
        // One file alone, from its start; the copy shares the descriptors.
        oamlog_source probe = src;
        probe.quiet = true;
        probe.live = false;
        probe.files.assign(1, src.files[i]);
        probe.files[0].head_known = false;
        oamlog_source_skip_files(&probe, 0);
        oamlog_rec rec{};
        if (oamlog_next(&probe, &rec) != 1 || rec.head != pos.id) {
            continue;
        }
        found.file = found.file < 0 ? static_cast<long>(i) : found.file;
        for (uint64_t n = 1; rec.offset <= pos.at; ++n) {
            if (rec.offset == pos.at) {
                if (rec.rec_len == pos.len &&
                    (!stamped || std::equal(pos.stamp, pos.stamp + OAM_STAMP_FIELDS, rec.stamp))) {
                    found = {static_cast<long>(i), n};
                }
                break;
            }
            if (oamlog_next(&probe, &rec) != 1) {
                break;
            }
        }
    }
    return found;
}

void oamlog_source_skip_files(oamlog_source *src, size_t file)
{
    for (size_t i = 0; i < file && i < src->files.size(); ++i) {
        if (src->files[i].fd >= 0) {
            (void)close(src->files[i].fd);
        }
    }
    src->files.erase(src->files.begin(), src->files.begin() + static_cast<std::ptrdiff_t>(std::min(file, src->files.size())));
    src->cur = 0;
    src->buf.clear();
    src->buf_off = src->files.empty() ? 0 : src->files.front().begin;
    src->pos = 0;
    src->at_eof = false;
    src->recheck = false;
}
