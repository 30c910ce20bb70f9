// Helpers shared by the dump tests: scratch directories, whole-file reads
// and a small reader for the archives the writer produces.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace memdump_test {

inline std::string make_temp_dir(const char *tag)
{
    std::string tmpl = std::string("/tmp/oam_") + tag + "_XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    const char *dir = mkdtemp(buf.data());
    EXPECT_NE(dir, nullptr);
    return dir != nullptr ? std::string(dir) : std::string("/tmp");
}

inline void write_file(const std::string &path, const std::string &content)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    ASSERT_EQ(std::fwrite(content.data(), 1, content.size(), f), content.size());
    std::fclose(f);
}

inline std::string read_file(const std::string &path)
{
    std::string out;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        ADD_FAILURE() << "cannot open " << path;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) {
        out.append(buf, n);
    }
    std::fclose(f);
    return out;
}

inline std::string gunzip_file(const std::string &path)
{
    std::string out;
    gzFile gz = gzopen(path.c_str(), "rb");
    if (gz == nullptr) {
        ADD_FAILURE() << "cannot gzopen " << path;
        return out;
    }
    char buf[4096];
    int n;
    while ((n = gzread(gz, buf, sizeof(buf))) > 0) {
        out.append(buf, static_cast<size_t>(n));
    }
    gzclose(gz);
    return out;
}

// Deterministic content that differs from file to file and byte to byte.
inline std::string pattern_bytes(size_t len, unsigned seed)
{
    std::string s(len, '\0');
    uint32_t x = seed * 2654435761U + 1U;
    for (size_t i = 0; i < len; i++) {
        x = x * 1103515245U + 12345U;
        s[i] = static_cast<char>(x >> 16);
    }
    return s;
}

inline std::string captured_stdout()
{
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

inline size_t count_of(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) {
        n++;
    }
    return n;
}

inline std::map<std::string, std::string> dir_contents(const std::string &dir)
{
    std::map<std::string, std::string> out;
    for (const auto &e : std::filesystem::directory_iterator(dir)) {
        if (e.is_regular_file()) {
            out[e.path().filename().string()] = read_file(e.path().string());
        }
    }
    return out;
}

// Walks an uncompressed archive of the writer's format: members until the
// first all-NUL block, which must be followed by one more and end the
// stream.
inline bool parse_tar(const std::string &tar, std::map<std::string, std::string> *members,
                      std::vector<std::string> *order = nullptr)
{
    size_t pos = 0;
    while (pos + 512 <= tar.size()) {
        std::string block = tar.substr(pos, 512);
        if (block == std::string(512, '\0')) {
            return pos + 1024 == tar.size() && tar.substr(pos + 512) == block;
        }
        std::string name(block.c_str());
        unsigned long size = std::strtoul(block.c_str() + 124, nullptr, 8);
        size_t data_blocks = (size + 511) / 512;
        if (pos + 512 + data_blocks * 512 > tar.size()) {
            return false;
        }
        (*members)[name] = tar.substr(pos + 512, size);
        if (order != nullptr) {
            order->push_back(name);
        }
        pos += 512 + data_blocks * 512;
    }
    return false;
}

// Restores the working directory the writer and the rotation change.
class CwdKeeper : public testing::Test {
protected:
    void SetUp() override { saved_ = open(".", O_RDONLY | O_DIRECTORY); }
    void TearDown() override
    {
        if (saved_ >= 0) {
            EXPECT_EQ(fchdir(saved_), 0);
            close(saved_);
        }
    }

private:
    int saved_ = -1;
};

}  // namespace memdump_test
