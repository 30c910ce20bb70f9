// The unit tests exercise code that works on the device's fixed paths
// (/vendor/log, /sys/zr400x_ps, ...).  They must only ever run inside
// scripts/sandbox-exec, where those paths are private tmpfs mounts.
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
struct sandbox_guard {
    sandbox_guard()
    {
        const char *flag = std::getenv("OAM_UNIT_SANDBOX");
        if (flag == nullptr || std::strcmp(flag, "1") != 0) {
            std::fprintf(stderr, "refusing to run outside scripts/sandbox-exec\n");
            std::_Exit(2);
        }
    }
} guard;
}  // namespace
