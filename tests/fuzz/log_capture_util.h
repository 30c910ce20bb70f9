// Shared by the receiver targets: one core's log store in its real folder
// (inside the unit-test sandbox), a tool connection as a socket pair, and
// the read-back of what was stored and mirrored.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "common/oam_global.h"
#include "fuzz_support.h"
#include "logcapture/log_store.h"

namespace fuzz_log {

using bytes = std::vector<uint8_t>;

inline void clear_dir(const char *dir)
{
    DIR *d = opendir(dir);
    if (d == nullptr) {
        return;
    }
    for (dirent *e = readdir(d); e != nullptr; e = readdir(d)) {
        if (e->d_name[0] != '.') {
            unlink((std::string(dir) + e->d_name).c_str());
        }
    }
    closedir(d);
}

// The store of one core, its settings chosen by the fuzzer: a small size
// limit and file count make every run rotate.
struct store {
    oam_log_desc *desc;
    const char *dir;
    const char *prefix;
    int tool[2] = {-1, -1};
    char start_dir[4096] = {};
};

inline void open_store(store &s, FuzzedDataProvider &fdp)
{
    if (getcwd(s.start_dir, sizeof s.start_dir) == nullptr) {
        std::abort();
    }
    mkdir("/vendor/log", 0775);
    (void)oam_log_dir_init();
    clear_dir(s.dir);
    oam_log_desc &d = *s.desc;
    std::memset(&d, 0, sizeof d);
    d.name = s.prefix;
    d.log_switch.value = fdp.ConsumeBool() ? 1 : 0;
    d.size.value = fdp.ConsumeIntegralInRange<int32_t>(1, 8192);
    d.num.value = fdp.ConsumeIntegralInRange<int32_t>(0, 4);
    std::snprintf(d.path.value, sizeof d.path.value, "%s", s.dir);
    std::snprintf(d.file_path, sizeof d.file_path, "%s%s%d", s.dir, s.prefix, 1);
    if (oam_get_log_file(&d) != 0 || get_former_log_num(&d) != 0) {
        std::abort();
    }
    // The tool: connected or not; its far side is read back at the end.
    g_st_global.vtl_connected = 0;
    if (fdp.ConsumeBool()) {
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, s.tool) != 0) {
            std::abort();
        }
        const int big = 1 << 20;
        (void)setsockopt(s.tool[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
        (void)fcntl(s.tool[1], F_SETFL, O_NONBLOCK);
        g_st_global.vtl_client_sock = s.tool[0];
        g_st_global.vtl_connected = 1;
    }
}

// Every file of the store must parse record by record; read oldest first,
// their data must be the last of the chunks taken, in order.  What reached
// the tool must be every chunk taken, in order.
inline void close_and_check(store &s, const std::vector<bytes> &taken)
{
    oam_log_desc &d = *s.desc;
    if (d.fp != nullptr) {
        std::fclose(d.fp);
        d.fp = nullptr;
    }
    if (chdir(s.start_dir) != 0) {
        std::abort();
    }

    if (s.tool[0] >= 0) {
        bytes mirrored;
        uint8_t buf[4096];
        ssize_t n;
        while ((n = recv(s.tool[1], buf, sizeof buf, 0)) > 0) {
            mirrored.insert(mirrored.end(), buf, buf + n);
        }
        bytes want;
        for (const bytes &c : taken) {
            want.insert(want.end(), c.begin(), c.end());
        }
        if (g_st_global.vtl_connected == 1 && mirrored != want) {
            std::abort(); // the tool saw other bytes than were taken
        }
        close(s.tool[0]);
        close(s.tool[1]);
        s.tool[0] = s.tool[1] = -1;
        g_st_global.vtl_connected = 0;
    }

    std::map<int, bytes, std::greater<>> files;  // oldest (highest number) first
    DIR *dir = opendir(s.dir);
    if (dir == nullptr) {
        std::abort();
    }
    const size_t plen = std::strlen(s.prefix);
    for (dirent *e = readdir(dir); e != nullptr; e = readdir(dir)) {
        if (std::strncmp(e->d_name, s.prefix, plen) == 0) {
            files[std::atoi(e->d_name + plen)] = fuzz_support::read_file(std::string(s.dir) + e->d_name);
        }
    }
    closedir(dir);
    std::vector<bytes> stored;
    for (const auto &[num, content] : files) {
        size_t pos = 0;
        while (pos < content.size()) {
            if (content.size() - pos < 18 || content[pos] != 0xAA || content[pos + 1] != 0) {
                std::abort(); // not a record
            }
            const size_t len = content[pos + 2] | (static_cast<size_t>(content[pos + 3]) << 8);
            if (len < 18 || len > content.size() - pos) {
                std::abort(); // record cut short or out of step
            }
            stored.emplace_back(content.begin() + static_cast<long>(pos + 18),
                                content.begin() + static_cast<long>(pos + len));
            pos += len;
        }
    }
    if (d.log_switch.value != 1 && !stored.empty()) {
        std::abort();
    }
    if (stored.size() > taken.size() ||
        !std::equal(stored.begin(), stored.end(), taken.end() - static_cast<long>(stored.size()))) {
        std::abort(); // records lost in the middle, reordered or altered
    }
    if (d.log_switch.value == 1 && !taken.empty() && stored.empty()) {
        std::abort(); // the newest record must be there
    }
}

}  // namespace fuzz_log
