#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "memdump/memdump.h"
#include "memdump/memdump_internal.h"
#include "memdump_test_util.h"

using namespace memdump_test;
namespace fs = std::filesystem;

namespace {

class TarWriter : public CwdKeeper {
protected:
    void SetUp() override
    {
        CwdKeeper::SetUp();
        src_ = make_temp_dir("tar_src");
        out_ = make_temp_dir("tar_out");
    }
    void TearDown() override
    {
        CwdKeeper::TearDown();
        std::error_code ec;
        fs::remove_all(src_, ec);
        fs::remove_all(out_, ec);
    }

    std::string src_;
    std::string out_;
};

std::string name_of_len(const std::string &prefix, char fill, size_t len)
{
    std::string stem = prefix + std::string(len - prefix.size() - 4, fill);
    return stem + ".bin";
}

int run(const std::string &cmd)
{
    int status = std::system(cmd.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The expected header, built independently of the writer.
std::string expected_header(const std::string &name, uint32_t size)
{
    std::string h(512, '\0');
    h.replace(0, std::min<size_t>(name.size(), 99), name.substr(0, 99));
    h.replace(100, 8, std::string("100666 \0", 8));
    h.replace(108, 8, std::string("     0 \0", 8));
    h.replace(116, 8, std::string("     0 \0", 8));
    char field[32];
    std::snprintf(field, sizeof(field), "%o", size);
    h.replace(124, std::string(field).size(), field);
    unsigned sum = 0;
    for (size_t i = 0; i < 512; i++) {
        sum += (i >= 148 && i < 156) ? 0x20U : static_cast<unsigned char>(h[i]);
    }
    std::snprintf(field, sizeof(field), "%o", sum);
    h.replace(148, std::string(field).size(), field);
    return h;
}

}  // namespace

TEST_F(TarWriter, PacksSelectedMembersReadableByGnuTarAndPython)
{
    std::map<std::string, std::string> expected;
    const size_t sizes[] = {0, 1, 511, 512, 513, 100000};
    unsigned seed = 1;
    for (size_t size : sizes) {
        std::string name = "readm_x_size_" + std::to_string(size) + ".bin";
        expected[name] = pattern_bytes(size, seed++);
        write_file(src_ + "/" + name, expected[name]);
    }
    // Names of 99, 100 and 127 characters: the header keeps the first 99,
    // which differ here so that the extracted files stay apart.
    for (size_t len : {99, 100, 127}) {
        std::string name = name_of_len("readm_x_" + std::to_string(len) + "_", 'n', len);
        std::string content = pattern_bytes(700 + len, seed++);
        write_file(src_ + "/" + name, content);
        expected[name.substr(0, 99)] = content;
    }
    // Never packed: a 128-character name, a directory, a link to a regular
    // file, another prefix, a name without the pattern.
    write_file(src_ + "/" + name_of_len("readm_x_128_", 'n', 128), "too long");
    ASSERT_EQ(mkdir((src_ + "/readm_x_dir.bin").c_str(), 0755), 0);
    ASSERT_EQ(symlink((src_ + "/readm_x_size_1.bin").c_str(), (src_ + "/readm_x_link.bin").c_str()), 0);
    write_file(src_ + "/other_x.bin", "other prefix");
    write_file(src_ + "/readm_x_nopattern.txt", "no pattern");

    std::string archive = out_ + "/all.tar.gz";
    ASSERT_EQ(tar_same_name_format_files(src_.c_str(), "readm_x", ".bin", archive.c_str()), 0);

    std::map<std::string, std::string> members;
    std::string tar = gunzip_file(archive);
    ASSERT_TRUE(parse_tar(tar, &members)) << "archive not block aligned or end block missing";
    EXPECT_EQ(members, expected);
    EXPECT_EQ(tar.size() % 512, 0U);

    struct stat st;
    ASSERT_EQ(stat(archive.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1000U);
    EXPECT_EQ(st.st_gid, 1000U);

    std::string gnu_dir = out_ + "/gnu";
    std::string py_dir = out_ + "/py";
    ASSERT_EQ(mkdir(gnu_dir.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(py_dir.c_str(), 0755), 0);
    std::string list = out_ + "/list.txt";
    std::string warnings = out_ + "/warnings.txt";
    EXPECT_EQ(run("tar -tzf " + archive + " > " + list + " 2>" + warnings), 0);
    EXPECT_EQ(count_of(read_file(list), "\n"), expected.size());
    EXPECT_EQ(read_file(warnings), "") << "GNU tar must see a whole archive";
    EXPECT_EQ(run("tar -xzf " + archive + " -C " + gnu_dir + " 2>/dev/null"), 0);
    EXPECT_EQ(dir_contents(gnu_dir), expected);

    EXPECT_EQ(run("/usr/bin/python3 -c 'import sys, tarfile\n"
                  "t = tarfile.open(sys.argv[1])\n"
                  "assert len(t.getnames()) == int(sys.argv[3])\n"
                  "t.extractall(sys.argv[2])' " +
                  archive + " " + py_dir + " " + std::to_string(expected.size())),
              0);
    EXPECT_EQ(dir_contents(py_dir), expected);
}

TEST_F(TarWriter, HeaderFieldsAndPaddingAreByteExact)
{
    std::string data = pattern_bytes(1000, 7);
    write_file(src_ + "/p_a.bin", data);
    std::string archive = out_ + "/one.tar.gz";
    ASSERT_EQ(tar_same_name_format_files(src_.c_str(), "p_", ".bin", archive.c_str()), 0);

    std::string tar = gunzip_file(archive);
    ASSERT_EQ(tar.size(), 512U * 5);
    std::string header = tar.substr(0, 512);
    EXPECT_EQ(header, expected_header("p_a.bin", 1000));
    EXPECT_EQ(header.substr(124, 12), std::string("1750\0\0\0\0\0\0\0\0", 12));
    EXPECT_EQ(header.substr(136, 12), std::string(12, '\0')) << "no time is stored";
    EXPECT_EQ(tar.substr(512, 1000), data);
    EXPECT_EQ(tar.substr(1512, 536), std::string(536, '\0'));

    // The same for a name cut to 99 characters and an empty file, with the
    // header filled directly.
    std::string long_name = std::string(120, 'L');
    uint8_t block[512] = {};
    tar_fill_header(block, long_name.c_str(), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(block), 512), expected_header(long_name, 0));
    EXPECT_EQ(block[99], '\0');
    EXPECT_EQ(std::string(reinterpret_cast<char *>(block) + 124, 2), std::string("0\0", 2));

    uint8_t big[512] = {};
    tar_fill_header(big, "x", 0xFFFFFFFFU);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(big), 512), expected_header("x", 0xFFFFFFFFU));

    // Nothing selected: the two end blocks alone.
    std::string empty_archive = out_ + "/none.tar.gz";
    ASSERT_EQ(tar_same_name_format_files(src_.c_str(), "nomatch", ".bin", empty_archive.c_str()), 0);
    EXPECT_EQ(gunzip_file(empty_archive), std::string(1024, '\0'));
}

TEST_F(TarWriter, PackingTwiceGivesIdenticalBytes)
{
    for (unsigned i = 0; i < 5; i++) {
        write_file(src_ + "/q_" + std::to_string(i) + ".bin", pattern_bytes(300 * i + 17, i));
    }
    std::string first = out_ + "/first.tar.gz";
    std::string second = out_ + "/second.tar.gz";
    ASSERT_EQ(tar_same_name_format_files(src_.c_str(), "q_", ".bin", first.c_str()), 0);
    // Other modification times must not change a byte.
    for (unsigned i = 0; i < 5; i++) {
        fs::last_write_time(src_ + "/q_" + std::to_string(i) + ".bin",
                            fs::file_time_type::clock::now() - std::chrono::hours(24 * (i + 1)));
    }
    ASSERT_EQ(tar_same_name_format_files(src_.c_str(), "q_", ".bin", second.c_str()), 0);
    EXPECT_EQ(read_file(first), read_file(second));
    EXPECT_EQ(gunzip_file(first), gunzip_file(second));
}

TEST_F(TarWriter, DataBlocksAlwaysMatchTheAnnouncedSize)
{
    std::string archive = out_ + "/content.tar.gz";
    gzFile gz = gzopen(archive.c_str(), "w");
    ASSERT_NE(gz, nullptr);
    // A file that went away after the scan: NUL blocks of the announced size.
    struct stat seen {};
    seen.st_size = 1000;
    testing::internal::CaptureStdout();
    tar_write_zip_content(gz, (src_ + "/vanished.bin").c_str(), seen);
    std::string out = captured_stdout();
    EXPECT_NE(out.find("open " + src_ + "/vanished.bin fail"), std::string::npos) << out;
    // A file that shrank: its bytes, then NUL padding up to three blocks.
    write_file(src_ + "/short.bin", "0123456789");
    ASSERT_EQ(lstat((src_ + "/short.bin").c_str(), &seen), 0);
    seen.st_size = 1500;
    testing::internal::CaptureStdout();
    tar_write_zip_content(gz, (src_ + "/short.bin").c_str(), seen);
    out = captured_stdout();
    // One line for the member, not one per missing block.
    EXPECT_EQ(count_of(out, "]read " + src_ + "/short.bin fail, errno = No data available\n"), 1U) << out;
    EXPECT_EQ(count_of(out, "\n"), 1U) << out;
    // Nothing for a size of 0 or below, and nothing without a file name.
    seen.st_size = 0;
    tar_write_zip_content(gz, (src_ + "/short.bin").c_str(), seen);
    seen.st_size = -5;
    tar_write_zip_content(gz, (src_ + "/short.bin").c_str(), seen);
    seen.st_size = 512;
    testing::internal::CaptureStdout();
    tar_write_zip_content(gz, nullptr, seen);
    tar_write_zip_content(nullptr, (src_ + "/short.bin").c_str(), seen);
    out = captured_stdout();
    EXPECT_NE(out.find("file_name is null"), std::string::npos);
    EXPECT_NE(out.find("fd is null"), std::string::npos);
    ASSERT_EQ(gzclose(gz), Z_OK);

    std::string tar = gunzip_file(archive);
    ASSERT_EQ(tar.size(), 512U * 5);
    EXPECT_EQ(tar.substr(0, 1024), std::string(1024, '\0'));
    EXPECT_EQ(tar.substr(1024, 10), "0123456789");
    EXPECT_EQ(tar.substr(1034), std::string(1536 - 10, '\0'));
}

// Between the scan and the read the name may come to mean something else:
// a link to a secret, a FIFO that never delivers, another file renamed
// over it.  Only the file the scan saw is read; the rest is stored as NUL
// bytes, and nothing blocks.
TEST_F(TarWriter, MemberSwappedAfterTheScanIsStoredAsZeros)
{
    const std::string name = src_ + "/swapped.bin";
    const std::string secret = out_ + "/secret";
    write_file(secret, std::string(600, 'S'));
    write_file(name, std::string(600, 'D'));
    struct stat seen {};
    ASSERT_EQ(lstat(name.c_str(), &seen), 0);

    const std::string archive = out_ + "/swapped.tar.gz";
    // A death test runs the writer in a child, so a read that blocks ends
    // as a failure after the alarm instead of holding the suite.
    auto pack_each_swap = [&] {
        alarm(10);
        testing::internal::CaptureStdout();
        gzFile gz = gzopen(archive.c_str(), "w");
        ASSERT_NE(gz, nullptr);
        // The very file, but with a second name.
        ASSERT_EQ(link(name.c_str(), (out_ + "/second").c_str()), 0);
        tar_write_zip_content(gz, name.c_str(), seen);
        ASSERT_EQ(unlink(name.c_str()), 0);
        ASSERT_EQ(symlink(secret.c_str(), name.c_str()), 0);
        tar_write_zip_content(gz, name.c_str(), seen);
        ASSERT_EQ(unlink(name.c_str()), 0);
        ASSERT_EQ(mkfifo(name.c_str(), 0600), 0);
        tar_write_zip_content(gz, name.c_str(), seen);
        ASSERT_EQ(unlink(name.c_str()), 0);
        write_file(name, std::string(600, 'O'));
        tar_write_zip_content(gz, name.c_str(), seen);
        ASSERT_EQ(gzclose(gz), Z_OK);
        std::fputs(captured_stdout().c_str(), stderr);
        std::exit(0);
    };
    EXPECT_EXIT(pack_each_swap(), testing::ExitedWithCode(0),
                "]file path is illegal, errno: Too many links\n"
                "\\[tar_write_zip_content:[0-9]+\\]file path is illegal, errno: Too many levels of symbolic links\n");
    EXPECT_TRUE(gunzip_file(archive) == std::string(4 * 1024, '\0')) << "bytes of something else were packed";
}

// A full storage during packing (here a file size limit): no cut archive
// stays under its name, the failure is said, and the dump files stay.  A
// small archive meets the full storage only when zlib flushes it at close.
class TarWriterFull : public TarWriter, public testing::WithParamInterface<std::pair<size_t, rlim_t>> {};
INSTANTIATE_TEST_SUITE_P(Sizes, TarWriterFull, testing::Values(std::pair<size_t, rlim_t>(256 * 1024, 64 * 1024),
                                                               std::pair<size_t, rlim_t>(1024, 512)));

TEST_P(TarWriterFull, FailedWriteRemovesTheArchive)
{
    write_file(src_ + "/f_big.bin", pattern_bytes(GetParam().first, 9));
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = GetParam().second;
    sighandler_t old_handler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    testing::internal::CaptureStdout();
    int ret = tar_same_name_format_files(src_.c_str(), "f_", ".bin", "full.tar.gz");
    std::string out = captured_stdout();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    signal(SIGXFSZ, old_handler);

    EXPECT_EQ(ret, -1);
    EXPECT_NE(out.find("write full.tar.gz failed:File too large, archive removed\n"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(src_ + "/full.tar.gz"));
    EXPECT_FALSE(fs::exists(src_ + "/full.tar.gz.tmp"));
    EXPECT_TRUE(fs::exists(src_ + "/f_big.bin"));
}

TEST_F(TarWriter, LeavesOutFilesTooLargeForTheHeader)
{
    // Sparse: costs no memory on tmpfs.
    std::string huge = src_ + "/r_huge.bin";
    write_file(huge, "");
    ASSERT_EQ(truncate(huge.c_str(), static_cast<off_t>(1) << 32), 0);
    write_file(src_ + "/r_small.bin", "small");

    std::string archive = out_ + "/huge.tar.gz";
    testing::internal::CaptureStdout();
    ASSERT_EQ(tar_same_name_format_files(src_.c_str(), "r_", ".bin", archive.c_str()), 0);
    std::string out = captured_stdout();
    EXPECT_NE(out.find("r_huge.bin size:4294967296 over the limit"), std::string::npos) << out;

    std::map<std::string, std::string> members;
    ASSERT_TRUE(parse_tar(gunzip_file(archive), &members));
    EXPECT_EQ(members, (std::map<std::string, std::string>{{"r_small.bin", "small"}}));
}

TEST_F(TarWriter, RefusesBadArgumentsBeforeWritingAnything)
{
    std::string archive = out_ + "/x.tar.gz";
    testing::internal::CaptureStdout();
    EXPECT_EQ(tar_same_name_format_files(nullptr, "p", ".bin", archive.c_str()), -1);
    EXPECT_EQ(tar_same_name_format_files(src_.c_str(), nullptr, ".bin", archive.c_str()), -1);
    EXPECT_EQ(tar_same_name_format_files(src_.c_str(), "p", ".bin", nullptr), -1);
    EXPECT_EQ(tar_same_name_format_files(src_.c_str(), "p", nullptr, archive.c_str()), -1);
    std::string out = captured_stdout();
    EXPECT_EQ(count_of(out, "input param is null\n"), 4U) << out;

    // A 128-character prefix is accepted, one of 129 refused.
    testing::internal::CaptureStdout();
    EXPECT_EQ(tar_same_name_format_files(src_.c_str(), std::string(129, 'p').c_str(), ".bin", archive.c_str()), -1);
    out = captured_stdout();
    EXPECT_NE(out.find("input name_prefix len:129 > limit:128\n"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(archive));
    EXPECT_EQ(tar_same_name_format_files(src_.c_str(), std::string(128, 'p').c_str(), ".bin", archive.c_str()), 0);
    EXPECT_TRUE(fs::exists(archive));

    testing::internal::CaptureStdout();
    EXPECT_EQ(tar_same_name_format_files((src_ + "/missing").c_str(), "p", ".bin", archive.c_str()), -1);
    EXPECT_EQ(tar_same_name_format_files(src_.c_str(), "p", ".bin", (out_ + "/no/such/x.tar.gz").c_str()), -1);
    out = captured_stdout();
    EXPECT_NE(out.find("open dir " + src_ + "/missing error:"), std::string::npos) << out;
    EXPECT_NE(out.find("open " + out_ + "/no/such/x.tar.gz failed, errno:"), std::string::npos) << out;

    // A relative archive name lands in the packed directory, through a
    // temporary one (what an earlier failure left there is its own).
    write_file(src_ + "/p_1.bin", "one");
    write_file(src_ + "/rel.tar.gz.tmp", "cut");
    ASSERT_EQ(tar_same_name_format_files(src_.c_str(), "p_", ".bin", "rel.tar.gz"), 0);
    EXPECT_TRUE(fs::exists(src_ + "/rel.tar.gz"));
    EXPECT_FALSE(fs::exists(src_ + "/rel.tar.gz.tmp"));

    // A link or a FIFO planted under the archive name is neither followed,
    // written nor given away: the target keeps its content and its owner,
    // and the FIFO's reader gets nothing.
    std::string target = out_ + "/victim";
    write_file(target, "keep me");
    struct stat before {};
    ASSERT_EQ(stat(target.c_str(), &before), 0);
    const std::string planted = src_ + "/planted.tar.gz";
    using plant_fn = int (*)(const char *, const char *);
    for (plant_fn plant : {plant_fn(symlink), plant_fn(link),
                           plant_fn([](const char *, const char *name) { return mkfifo(name, 0600); })}) {
        ASSERT_EQ(plant(target.c_str(), planted.c_str()), 0);
        // A reader, so that an open of the FIFO would not block but write.
        int reader = open(planted.c_str(), O_RDONLY | O_NONBLOCK);
        testing::internal::CaptureStdout();
        EXPECT_EQ(tar_same_name_format_files(src_.c_str(), "p_", ".bin", "planted.tar.gz"), -1);
        out = captured_stdout();
        EXPECT_NE(out.find("open planted.tar.gz failed, errno:File exists\n"), std::string::npos) << out;
        close(reader);
        ASSERT_EQ(unlink(planted.c_str()), 0);
    }
    EXPECT_EQ(read_file(target), "keep me");
    struct stat after {};
    ASSERT_EQ(stat(target.c_str(), &after), 0);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
}
