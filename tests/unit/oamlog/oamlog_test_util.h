// Shared helpers of the reader's tests: a fresh folder, files written and
// read whole, and a stream the code under test writes to.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

inline std::string fresh_dir()
{
    char tmpl[] = "/tmp/oamlog_XXXXXX";
    const char *dir = mkdtemp(tmpl);
    return std::string(dir != nullptr ? dir : "/tmp") + "/";
}

inline void put(const std::string &path, const std::string &bytes)
{
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    ASSERT_EQ(fclose(f), 0);
}

inline std::string slurp(const std::string &path)
{
    std::string out;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) {
        out.append(buf, n);
    }
    (void)fclose(f);
    return out;
}

// What a stream written by the code under test holds.
struct captured {
    FILE *f = tmpfile();
    ~captured() { (void)fclose(f); }
    std::string text()
    {
        std::string out(static_cast<size_t>(ftell(f)), '\0');
        rewind(f);
        out.resize(fread(out.data(), 1, out.size(), f));
        return out;
    }
};
