// Layer 1, readers of outside bytes: rotated files the daemon compressed,
// "<prefix><N>.zst", one or more zstd frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "oamlog/read_file.h"

bool oamlog_zst_name(const std::string &path);
// Up to cap bytes of the source's current (compressed) file from offset at
// of its content; 0 at its end or at damage, which is reported.
size_t oamlog_zst_read(oamlog_source *src, uint8_t *out, size_t cap, uint64_t at);
// Whether the compressed file zst_fd holds exactly the bytes of plain_fd.
bool oamlog_zst_same(int zst_fd, int plain_fd);
// The content size a compressed file's frame declares, else the bytes it
// decodes to.
uint64_t oamlog_zst_content_size(int fd);
