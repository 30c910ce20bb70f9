// Layer 3, views: the tables (--stats, --dumps, --disk-usage, --list-boots)
// and the journal's losses under --check.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "oamlog/read_file.h"

// --stats: a row per core, then the runs of the boots selected that ended
// uncleanly.
void oamlog_stats(FILE *out, std::vector<oamlog_source> &sources, bool json, uint64_t since, uint64_t until);
int oamlog_dumps(FILE *out, const std::string &root, bool json);
// --disk-usage: per core files, bytes, content, span and share; archives,
// journal, free space and the budget the INI files set.
int oamlog_disk_usage(FILE *out, const std::string &root, bool json);
std::string oamlog_human(uint64_t bytes);  // as du -h
// A text table: rows[0] the header, each column as wide as its widest cell,
// align[i] 'l' (left) or 'r' (right) for column i.
void oamlog_table(FILE *out, const std::vector<std::vector<std::string>> &rows, const char *align);
void oamlog_list_boots(FILE *out, bool json, bool utc);
// --check: the files, records and damaged spots read; the journal's losses.
void oamlog_check_summary(FILE *out, size_t files, uint64_t records, bool json);
void oamlog_check_losses(FILE *out, bool json);
// --stats: the runs of the boots selected that ended uncleanly.
void oamlog_list_unclean(FILE *out, bool json, uint64_t since, uint64_t until);
