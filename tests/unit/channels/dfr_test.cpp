// The calibration trigger and the fault-recovery settings.  The test binary
// stands in for the bfg driver by taking the ioctl calls made on one chosen
// descriptor; every other descriptor goes to the system as usual.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstdarg>
#include <utility>

#include "channels_test_util.h"
#include "config/ini_internal.h"
#include "platform/oam_chip.h"
#include "platform/oam_chip_internal.h"
#include "platform/oam_dfr.h"
#include "core/oam_dfr_set.h"
#include "common/oam_driver.h"

namespace {

using requests = std::vector<std::pair<unsigned long, unsigned long>>;
int g_fake_node = -1;
requests g_requests;
unsigned long g_failing_request;

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    unsigned long arg = va_arg(ap, unsigned long);
    va_end(ap);
    if (fd != g_fake_node || g_fake_node < 0) {
        return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
    }
    g_requests.emplace_back(request, arg);
    if (request == g_failing_request) {
        errno = ENODEV;
        return -1;
    }
    return 0;
}

// With a 64-bit time_t on a 32-bit target the library calls ioctl by this name.
#if defined(__USE_TIME_BITS64) && __TIMESIZE == 32
extern "C" int __ioctl_time64(int fd, unsigned long request, ...) noexcept __attribute__((alias("ioctl")));
#endif

namespace {

class Dfr : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_global(bufs);
        g_fake_node = open("/dev/null", O_RDONLY);
        g_st_global.bfg_fd = g_fake_node;
        g_requests.clear();
        g_failing_request = 0;
        g_sub_chip_type = CHIP_UNKNOWN;
        g_sub_chip_type_known = 1;
        capture_stdout();
    }
    void TearDown() override
    {
        release_stdout();
        close(g_fake_node);
        g_fake_node = -1;
        g_sub_chip_type_known = 0;
        g_ini_file_path_read = 0;
        unlink(OAM_INI_PATH_NODE);
    }

    // Publishes an INI file as the driver would (the unit sandbox's /sys).
    static void publish_ini(const std::string &content)
    {
        char tmpl[] = "/tmp/oam_dfr_XXXXXX";
        int fd = mkstemp(tmpl);
        ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        close(fd);
        mkdir("/sys/zr400x_ps", 0755);
        FILE *f = std::fopen(OAM_INI_PATH_NODE, "w");
        ASSERT_NE(f, nullptr);
        std::fputs(tmpl, f);
        std::fclose(f);
        g_ini_file_path_read = 0;
    }

    test_bufs bufs;
};

TEST_F(Dfr, CalibrationTrigger)
{
    bfgx_cali_init();
    EXPECT_EQ(g_requests, (requests{{BFGX_CALI_IOCTL, 0}}));
    g_sub_chip_type = CHIP_ZR4001;
    bfgx_cali_init();
    g_sub_chip_type = CHIP_ZR4002;
    g_wvt_mode = 1;
    bfgx_cali_init();
    EXPECT_EQ(g_requests.size(), 1u);
    std::string out = captured();
    EXPECT_EQ(count_of(out, "]bfgx cali sucess\n\n"), 1u) << out;
    EXPECT_EQ(count_of(out, "]zr4001 ignore bfgx cali\n\n"), 1u) << out;
    EXPECT_EQ(count_of(out, "]node is not open, bfgx cali fail\n\n"), 1u) << out;
    capture_stdout();
}

TEST_F(Dfr, SettingsAreSentByValueInOrderOnlyWhenBothAreRead)
{
    publish_ini("[HOST_PLAT]\nplat_dfr_enable=1\nplat_dfr_beatTimer_timeOut_reset_enable=0x80000001\n");
    ini_plat_dfr_set();
    EXPECT_EQ(count_of(captured(), "]plat dfr and beatTimer timeOut reset cfg set sucess\n\n"), 1u);
    // A negative value goes out zero-extended, never as a pointer or sign-extended.
    EXPECT_EQ(g_requests, (requests{{DFR_ENABLE_IOCTL, 1}, {DFR_BEAT_TIMER_RESET_IOCTL, 0x80000001UL}}));

    g_requests.clear();
    g_failing_request = DFR_ENABLE_IOCTL;
    capture_stdout();
    ini_plat_dfr_set();
    std::string out = captured();
    size_t cmd = out.find("]cmd plat_dfr_enable ioctl send error;errno:No such device\n\n");
    ASSERT_NE(cmd, std::string::npos) << out;
    EXPECT_LT(cmd, out.find("]plat dfr and beatTimer timeOut reset cfg set error\n\n"));
    EXPECT_EQ(g_requests, (requests{{DFR_ENABLE_IOCTL, 1}}));

    g_requests.clear();
    publish_ini("[HOST_PLAT]\nplat_dfr_enable=7\n");
    capture_stdout();
    ini_plat_dfr_set();
    out = captured();
    EXPECT_EQ(count_of(out, "]read ini cfg fail: ini_plat_dfr_cfg_str = plat_dfr_beatTimer_timeOut_reset_enable\n\n"),
              1u)
        << out;
    EXPECT_TRUE(g_requests.empty());
    capture_stdout();
}

}  // namespace
