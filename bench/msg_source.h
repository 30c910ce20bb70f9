// A datagram socket pair stands in for the netlink socket and the device
// nodes: one receive returns one message, as from the drivers.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "common/oam_global.h"

constexpr size_t OAM_MSG_SOURCE_LEN = 64;

struct oam_msg_source {
    int rd = -1;
    int wr = -1;
    char msg[OAM_MSG_SOURCE_LEN];
};

inline bool oam_msg_source_open(oam_msg_source &src)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM, 0, sv) != 0) {
        return false;
    }
    src.wr = sv[0];
    src.rd = sv[1];
    const int room = 4 << 20;
    (void)setsockopt(src.wr, SOL_SOCKET, SO_SNDBUF, &room, sizeof(room));
    (void)setsockopt(src.rd, SOL_SOCKET, SO_RCVBUF, &room, sizeof(room));
    for (size_t i = 0; i < sizeof(src.msg); ++i) {
        src.msg[i] = static_cast<char>('a' + i % 26);
    }
    return true;
}

inline void oam_msg_source_close(oam_msg_source &src)
{
    close(src.rd);
    close(src.wr);
}

// Queues count messages; the caller keeps the sender's cost out of what it
// measures.
inline bool oam_msg_source_fill(oam_msg_source &src, int count)
{
    for (int i = 0; i < count; ++i) {
        if (send(src.wr, src.msg, sizeof(src.msg), 0) != static_cast<ssize_t>(sizeof(src.msg))) {
            return false;
        }
    }
    return true;
}

// A Wi-Fi log descriptor whose files go to dir (no trailing "/"), large
// enough never to rotate while measuring, with its current file not yet open.
inline void oam_msg_source_log_desc(oam_log_desc &desc, const std::string &dir)
{
    desc = oam_log_desc{};
    desc.name = "wifi_log_";
    desc.log_switch.value = 1;
    desc.size.value = 0x7FFFFFFF;
    desc.num.value = 2;
    const std::string slash = dir + "/";
    const std::string first = slash + "wifi_log_1";
    std::memcpy(desc.path.value, slash.c_str(), slash.size() + 1);
    std::memcpy(desc.file_path, first.c_str(), first.size() + 1);
}
