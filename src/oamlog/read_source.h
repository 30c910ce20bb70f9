// Layer 1, readers of outside bytes: a core's numbered log files (plain or
// compressed) found, opened, followed across rotations, and read record by
// record as stored; placing them in time is the time line's (timeline.h).
#pragma once

#include <string>
#include <vector>

#include "oamlog/read_file.h"

// Inputs: the log root, a core's folder, or files.  To follow, a root takes
// in the core folders it does not hold yet.
int oamlog_add_root(std::vector<oamlog_source> *out, const std::string &root, const std::vector<std::string> &cores,
                    bool follow);
// A file's core is core when given, else told by its name and folder.
int oamlog_add_path(std::vector<oamlog_source> *out, const std::string &path, bool follow, const char *core);
int oamlog_file_number(const char *name, const char *prefix);
void oamlog_open_files(oamlog_source *src);
// After opening: each file once, each folder followed once.
void oamlog_drop_repeats(std::vector<oamlog_source> *sources);
// Follow: picks up the files a rotation put in front of the newest file read.
void oamlog_follow_rotation(oamlog_source *src);

// 1 and *rec: the next record as stored (its time-line fields untouched);
// 0: none yet (a live file waits for more); -1: the source is read to its end.
int oamlog_next(oamlog_source *src, oamlog_rec *rec);
