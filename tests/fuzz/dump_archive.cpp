// The dump folder as the rotation and the archive writer meet it: entries
// built from fuzzer bytes (names of every length, dots, prefixes, numbers,
// directories, links, pipes, empty, odd-sized and oversized files), then one
// memdump_file_rotate.  Checked: no entry is lost but the archives the
// rotation may delete, and the new archive reads back whole (header
// checksums, names, sizes, data and padding, end blocks).  Runs in the
// unit-test sandbox: the dump folder is the device's fixed path.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "common/oam_global.h"
#include "fuzz_support.h"
#include "memdump/memdump.h"
#include "memdump/memdump_internal.h"

namespace {

constexpr const char *DUMP_DIR = "/vendor/log/memdump";
constexpr const char *OUTSIDE_FILE = "/tmp/oam_fuzz_outside";
constexpr size_t MAX_ENTRIES = 16;
constexpr size_t BLOCK = 512;
// End blocks of 512 NUL bytes behind the last member.
constexpr size_t TAR_END_BLOCKS = 2;
constexpr off_t OVERSIZED = static_cast<off_t>(UINT32_MAX) + 1;

std::string path_of(const std::string &name)
{
    return std::string(DUMP_DIR) + "/" + name;
}

void clear_dir(const std::string &dir)
{
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        return;
    }
    for (dirent *e = readdir(d); e != nullptr; e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) {
            continue;
        }
        const std::string p = dir + "/" + e->d_name;
        struct stat st;
        if (lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            clear_dir(p);
            rmdir(p.c_str());
        } else {
            unlink(p.c_str());
        }
    }
    closedir(d);
}

struct entry_state {
    std::string name;
    mode_t mode;
    off_t size;
};

// Every entry of the dump folder by inode: a rename keeps the inode.
std::map<ino_t, entry_state> list_dir()
{
    std::map<ino_t, entry_state> out;
    DIR *d = opendir(DUMP_DIR);
    if (d == nullptr) {
        std::abort();
    }
    for (dirent *e = readdir(d); e != nullptr; e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) {
            continue;
        }
        struct stat st;
        if (lstat(path_of(e->d_name).c_str(), &st) == 0) {
            out[st.st_ino] = {e->d_name, st.st_mode, st.st_size};
        }
    }
    closedir(d);
    return out;
}

std::string make_name(FuzzedDataProvider &fdp, const char *prefix, const char *other_prefix)
{
    std::string text = fdp.ConsumeRandomLengthString(300);
    std::string name;
    switch (fdp.ConsumeIntegralInRange<int>(0, 4)) {
    case 0:
        name = std::string(prefix) + "_" + text + ".bin";
        break;
    case 1:
        name = std::string(prefix) + "_2026_12_07_22_30_46" + text + ".tar.gz";
        break;
    case 2:
        name = std::string(prefix) + text;
        break;
    case 3:
        name = std::string(other_prefix) + text;
        break;
    default:
        name = text;
        break;
    }
    for (char &c : name) {
        if (c == '/' || c == '\0') {
            c = '_';
        }
    }
    if (name.size() > NAME_MAX) {
        name.resize(NAME_MAX);
    }
    return name;
}

void make_entry(FuzzedDataProvider &fdp, const std::string &name, unsigned index)
{
    const std::string p = path_of(name);
    switch (fdp.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
        mkdir(p.c_str(), 0775);
        break;
    case 1:
        (void)symlink(OUTSIDE_FILE, p.c_str());
        break;
    case 2:
        (void)symlink(name.c_str(), (p + ".lnk").c_str());
        [[fallthrough]];
    default: {
        // A regular file: empty, odd-sized, or too large for the header.
        const int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0) {
            break;
        }
        const auto kind = fdp.ConsumeIntegralInRange<int>(0, 9);
        if (kind == 0) {
            (void)ftruncate(fd, OVERSIZED);
        } else if (kind != 1) {
            const auto len = fdp.ConsumeIntegralInRange<size_t>(0, 3 * BLOCK);
            std::string data(len, '\0');
            for (size_t i = 0; i < len; ++i) {
                data[i] = static_cast<char>('a' + (index + i) % 26);
            }
            (void)write(fd, data.data(), data.size());
        }
        close(fd);
        break;
    }
    case 3:
        (void)mkfifo(p.c_str(), 0644);
        break;
    }
}

std::string gunzip(const std::string &path)
{
    gzFile gz = gzopen(path.c_str(), "rb");
    if (gz == nullptr) {
        std::abort();
    }
    std::string out;
    char buf[8192];
    int n;
    while ((n = gzread(gz, buf, sizeof buf)) > 0) {
        out.append(buf, static_cast<size_t>(n));
    }
    if (n < 0) {
        std::abort(); // not a whole gzip stream
    }
    gzclose(gz);
    return out;
}

unsigned long octal_field(const char *field, size_t len)
{
    // Octal digits, then NUL bytes up to the end of the field.
    size_t i = 0;
    unsigned long v = 0;
    for (; i < len && field[i] >= '0' && field[i] <= '7'; ++i) {
        v = v * 8 + static_cast<unsigned long>(field[i] - '0');
    }
    if (i == 0) {
        std::abort();
    }
    for (; i < len; ++i) {
        if (field[i] != '\0') {
            std::abort();
        }
    }
    return v;
}

void check_archive(const std::string &archive, const char *prefix, const std::map<ino_t, entry_state> &after)
{
    const std::string tar = gunzip(path_of(archive));
    if (tar.size() % BLOCK != 0) {
        std::abort();
    }
    size_t pos = 0;
    size_t members = 0;
    while (pos + BLOCK <= tar.size() && tar.compare(pos, BLOCK, std::string(BLOCK, '\0')) != 0) {
        const char *h = tar.data() + pos;
        unsigned sum = 0;
        for (size_t i = 0; i < BLOCK; ++i) {
            sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(h[i]);
        }
        if (octal_field(h + 148, 8) != sum || std::memcmp(h + 100, "100666 ", 8) != 0) {
            std::abort();
        }
        const size_t name_len = strnlen(h, 100);
        if (name_len == 0 || name_len > 99) {
            std::abort();
        }
        const std::string name(h, name_len);
        const unsigned long size = octal_field(h + 124, 12);
        for (size_t i = 157; i < BLOCK; ++i) {
            if (h[i] != '\0') {
                std::abort();
            }
        }
        // A member is a regular .bin file of this type, found under its
        // name or, cut to 99 characters, under a longer one.
        bool found = false;
        for (const auto &[ino, e] : after) {
            if (S_ISREG(e.mode) && e.name.compare(0, 99, name) == 0 && e.name.size() <= 127 &&
                (e.name.size() == name_len || name_len == 99) && static_cast<unsigned long>(e.size) == size &&
                e.name.rfind(prefix, 0) == 0 && e.name.find(".bin") != std::string::npos) {
                found = true;
            }
        }
        if (!found) {
            std::abort();
        }
        pos += BLOCK;
        const size_t data_blocks = (size + BLOCK - 1) / BLOCK;
        if (pos + data_blocks * BLOCK > tar.size()) {
            std::abort();
        }
        if (name_len < 99) {
            const auto content = fuzz_support::read_file<std::string>(path_of(name));
            if (tar.compare(pos, size, content) != 0) {
                std::abort();
            }
        }
        for (size_t i = size; i < data_blocks * BLOCK; ++i) {
            if (tar[pos + i] != '\0') {
                std::abort(); // padding
            }
        }
        pos += data_blocks * BLOCK;
        ++members;
    }
    if (tar.size() - pos != TAR_END_BLOCKS * BLOCK || tar.find_first_not_of('\0', pos) != std::string::npos) {
        std::abort();
    }
    (void)members;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static char start_dir[4096];
    static const bool ready = [] {
        fuzz_support::require_sandbox();
        if (getcwd(start_dir, sizeof start_dir) == nullptr) {
            std::abort();
        }
        mkdir("/vendor/log", 0775);
        mkdir(DUMP_DIR, 0775);
        FILE *f = std::fopen(OUTSIDE_FILE, "w");
        std::fputs("outside", f);
        std::fclose(f);
        return true;
    }();
    (void)ready;

    FuzzedDataProvider fdp(data, size);
    const int which = fdp.ConsumeIntegralInRange<int>(0, OAM_MEMDUMP_TYPE_NUM - 1);
    memdump_type_info &type = g_memdump_type_table[which];
    const uint32_t saved_max = type.max_num;
    const uint32_t max_num = fdp.ConsumeIntegralInRange<uint32_t>(0, 12);
    type.max_num = max_num;
    const char *other = g_memdump_type_table[(which + 1) % OAM_MEMDUMP_TYPE_NUM].name_prefix;

    clear_dir(DUMP_DIR);
    for (unsigned i = 0; i < MAX_ENTRIES && fdp.remaining_bytes() > 0; ++i) {
        const std::string name = make_name(fdp, type.name_prefix, other);
        if (name.empty() || name == "." || name == "..") {
            continue;
        }
        make_entry(fdp, name, i);
    }
    const std::map<ino_t, entry_state> before = list_dir();

    char time_before[50] = {};
    char time_after[50] = {};
    (void)update_time_str(time_before, sizeof time_before);
    const int ret = memdump_file_rotate(which);
    (void)update_time_str(time_after, sizeof time_after);
    const std::map<ino_t, entry_state> after = list_dir();
    type.max_num = saved_max;
    if (chdir(start_dir) != 0) {
        std::abort();
    }
    if (ret != 0) {
        std::abort();
    }

    // Only the rotation's deletions may remove an entry: those of this type
    // holding the number max_num - 1 before ".tar.gz".
    const std::string deletable = "." + std::to_string(static_cast<int>(max_num) - 1) + ".tar.gz";
    for (const auto &[ino, e] : before) {
        if (after.count(ino) != 0) {
            continue;
        }
        if (S_ISDIR(e.mode) || e.name.rfind(type.name_prefix, 0) != 0 ||
            e.name.find(deletable) == std::string::npos) {
            std::fprintf(stderr, "lost entry: %s (max_num %u)\n", e.name.c_str(), max_num);
            std::abort(); // an entry was lost: replaced by a rename, or removed
        }
    }
    if (std::strcmp(time_before, time_after) == 0) {
        const std::string archive = std::string(type.name_prefix) + "_" + time_before + ".tar.gz";
        check_archive(archive, type.name_prefix, after);
    }
    return 0;
}
