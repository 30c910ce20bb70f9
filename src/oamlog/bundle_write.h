// Layer 3, views: --bundle, one .tar.gz with what is known of a window of
// time (records, events, dump archives, settings), to hand over.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A bundle: one .tar.gz with what is known of a window of time.
struct oamlog_bundle_opts {
    std::string version;  // oamlog's
    std::string out;
    std::string root;
    std::vector<std::string> cores;
    std::string dump;  // the archive whose window it is, or empty
    uint64_t since;
    uint64_t until;
    long max_mib;      // 0: no limit
};
int oamlog_bundle_write(const oamlog_bundle_opts &opts);
