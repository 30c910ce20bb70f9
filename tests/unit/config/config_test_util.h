// Shared helpers of the configuration tests.  They write the fixed device
// paths, which exist only as private tmpfs mounts inside the unit sandbox.
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/ini_internal.h"
#include "common/oam_driver.h"

inline std::string make_temp_dir()
{
    char tmpl[] = "/tmp/oam_cfg_XXXXXX";
    const char *dir = mkdtemp(tmpl);
    EXPECT_NE(dir, nullptr);
    return dir != nullptr ? dir : "/tmp";
}

inline void write_file(const std::string &path, const std::string &content)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    ASSERT_EQ(std::fwrite(content.data(), 1, content.size(), f), content.size());
    std::fclose(f);
}

inline std::string captured()
{
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// Back to the state of a process started without a published path.
inline void reset_ini_state()
{
    g_ini_file_path_read = 0;
    std::memset(g_ini_file_path, 0, sizeof(g_ini_file_path));
    std::memset(g_ini_cust_file_path, 0, sizeof(g_ini_cust_file_path));
    unlink(OAM_INI_PATH_NODE);
    unlink(OAM_INI_CUST_FILE);
}

inline void publish_ini_path(const std::string &content)
{
    mkdir("/sys/zr400x_ps", 0755);
    write_file(OAM_INI_PATH_NODE, content);
}

inline void write_cust_file(const std::string &content)
{
    mkdir("/data/vendor", 0755);
    mkdir("/data/vendor/cust_conn", 0755);
    write_file(OAM_INI_CUST_FILE, content);
}
