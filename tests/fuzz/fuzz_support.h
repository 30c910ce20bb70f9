// Small helpers shared by the fuzz targets.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace fuzz_support {

// Targets that write the device's fixed paths run only where those are
// private mounts.
inline void require_sandbox()
{
    if (std::getenv("OAM_UNIT_SANDBOX") == nullptr) {
        std::fprintf(stderr, "run inside scripts/sandbox-exec: this target writes the device's fixed paths\n");
        std::abort();
    }
}

// The whole content of a file; empty when it cannot be read.
template <typename Bytes = std::vector<uint8_t>>
Bytes read_file(const std::string &path)
{
    Bytes out;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        out.insert(out.end(), buf, buf + n);
    }
    std::fclose(f);
    return out;
}

}  // namespace fuzz_support
