// Layer 3, views: the records of the sources and the journal's events
// among them, core after core or merged on the time line, the last N, and
// followed as the daemon writes.
#pragma once

#include <cstdint>
#include <vector>

#include "oamlog/read_file.h"
#include "oamlog/view_print.h"

struct oamlog_stream_opts {
    oamlog_print_opts print;
    bool merge;
    bool follow;
    long last;  // -n; -1 all
    uint64_t since;
    uint64_t until;
};
// Prints the sources (and follows them on watch_fd) as opts say; the
// status to exit with.
int oamlog_stream(std::vector<oamlog_source> &sources, const oamlog_stream_opts &opts, int watch_fd);
// Follow: watches what a source's files live in before they are opened.
int oamlog_watch(int watch_fd, oamlog_source *src);
size_t oamlog_file_count(const std::vector<oamlog_source> &sources);
