#include "common/oam_journal.h"
#include "logcapture/log_store.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <array>
#include <map>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr const char *WRITE_ERR = "[%s:%d]write test log file err;errno:%s\n";
constexpr const char *SECOND_WRITE_ERR = "[%s:%d]second write test log file err;errno:%s\n";

std::vector<uint8_t> read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string read_text(const std::string &path)
{
    std::vector<uint8_t> bytes = read_file(path);
    return {bytes.begin(), bytes.end()};
}

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
        ++n;
    }
    return n;
}

int64_t to_ms(const timeval &tv)
{
    return static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

// A descriptor as the log settings leave it, on a private directory.
class LogStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/logstore.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        desc = oam_log_desc{};
        desc.name = "wifi_log_";
        desc.log_switch.value = 1;
        desc.size.value = 100;
        desc.num.value = 25;
        std::string slash = dir + "/";
        ASSERT_LT(slash.size(), sizeof(desc.path.value));
        std::memcpy(desc.path.value, slash.c_str(), slash.size() + 1);
        std::string first = file(1);
        std::memcpy(desc.file_path, first.c_str(), first.size() + 1);
        // A loss an earlier test stored with no journal open is still held
        // and would be written into this test's journal: write it elsewhere.
        const std::string drain = dir + "/drain_events";
        ASSERT_EQ(oam_journal_open(drain.c_str(), OAM_JOURNAL_MAX_BYTES), 0);
        oam_journal_flush();
        oam_journal_close();
        unlink(drain.c_str());
    }

    void TearDown() override
    {
        if (desc.fp != nullptr) {
            fclose(desc.fp);
        }
        // The count moves the working directory into the log directory.
        (void)chdir("/");
        fs::remove_all(dir);
    }

    std::string file(int n) const { return dir + "/wifi_log_" + std::to_string(n); }

    // Open and count as start-up does.
    void start()
    {
        ASSERT_EQ(oam_get_log_file(&desc), 0);
        ASSERT_EQ(get_former_log_num(&desc), 0);
        desc.write_count = 0;
    }

    void store(uint32_t data_len, uint8_t fill = 0x5A)
    {
        std::memset(buf + OAM_RECORD_HDR_LEN, fill, data_len);
        oam_log_store_record(&desc, buf, data_len, WRITE_ERR, SECOND_WRITE_ERR);
    }

    int64_t real_size() const
    {
        struct stat st {};
        return stat(desc.file_path, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
    }

    std::string dir;
    oam_log_desc desc{};
    uint8_t buf[OAM_BUF_LEN]{};
};

TEST_F(LogStore, RecordLayoutAndStampAreExact)
{
    desc.size.value = 1 << 20;
    start();
    EXPECT_EQ(oam_flag_load(desc.file_count), 1);

    std::memcpy(buf + OAM_RECORD_HDR_LEN, "abc", 3);
    timeval before{};
    timeval after{};
    gettimeofday(&before, nullptr);
    oam_log_store_record(&desc, buf, 3, WRITE_ERR, SECOND_WRITE_ERR);
    gettimeofday(&after, nullptr);

    // In the file at once, without a close or flush.
    std::vector<uint8_t> rec = read_file(desc.file_path);
    ASSERT_EQ(rec.size(), 21U);
    EXPECT_EQ(rec[0], 0xAA);
    EXPECT_EQ(rec[1], 0x00);
    EXPECT_EQ(rec[2], 0x15);
    EXPECT_EQ(rec[3], 0x00);
    EXPECT_EQ(std::memcmp(rec.data() + 18, "abc", 3), 0);

    uint16_t f[7];
    std::memcpy(f, rec.data() + 4, sizeof(f));
    tm local{};
    local.tm_year = f[0] - 1900;
    local.tm_mon = f[1] - 1;
    local.tm_mday = f[2];
    local.tm_hour = f[3];
    local.tm_min = f[4];
    local.tm_sec = f[5];
    local.tm_isdst = -1;
    EXPECT_LE(f[6], 999);
    const int64_t stamp_ms = static_cast<int64_t>(mktime(&local)) * 1000 + f[6];
    EXPECT_GE(stamp_ms, to_ms(before));
    EXPECT_LE(stamp_ms, to_ms(after));

    // The largest record: length 2048 stored low byte first.
    store(OAM_RECORD_DATA_MAX);
    rec = read_file(desc.file_path);
    ASSERT_EQ(rec.size(), 21U + 2048U);
    EXPECT_EQ(rec[21 + 2], 0x00);
    EXPECT_EQ(rec[21 + 3], 0x08);
    EXPECT_EQ(desc.file_size, real_size());

    // A length that cannot fit a record buffer is refused, nothing written.
    oam_log_store_record(&desc, buf, OAM_RECORD_DATA_MAX + 1, WRITE_ERR, SECOND_WRITE_ERR);
    EXPECT_EQ(read_file(desc.file_path).size(), 21U + 2048U);

    // Only mode 1 writes a stamp.
    uint8_t untouched[14];
    std::memset(untouched, 0x11, sizeof(untouched));
    oam_get_sys_time(untouched, sizeof(untouched), 0);
    for (uint8_t b : untouched) {
        EXPECT_EQ(b, 0x11);
    }
}

TEST_F(LogStore, FullFileWithFullSetShiftsEveryFileUp)
{
    write_file(file(1), std::string(90, '1'));
    for (int n = 2; n <= 25; ++n) {
        write_file(file(n), "old " + std::to_string(n));
    }
    start();
    EXPECT_EQ(oam_flag_load(desc.file_count), 25);

    store(0);  // 90 + 18 bytes: over the limit after this record
    EXPECT_EQ(oam_flag_load(desc.file_count), 25);
    EXPECT_EQ(fs::file_size(file(1)), 0U);
    EXPECT_EQ(desc.file_size, 0);
    EXPECT_EQ(fs::file_size(file(2)), 108U);
    for (int n = 3; n <= 25; ++n) {
        EXPECT_EQ(read_text(file(n)), "old " + std::to_string(n - 1)) << n;
    }
    EXPECT_FALSE(fs::exists(file(26)));

    // The new file 1 receives the next record.
    store(2);
    EXPECT_EQ(fs::file_size(file(1)), 20U);
}

TEST_F(LogStore, CountLimitOfOneKeepsGrowingFileOne)
{
    desc.num.value = 1;
    desc.size.value = 50;
    start();
    EXPECT_EQ(oam_flag_load(desc.file_count), 1);

    testing::internal::CaptureStdout();
    store(20);  // 38 bytes: below the limit
    store(20);  // 76
    store(20);  // 114
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(count_of(out, "log file beyond size=50Byte, creat new file"), 2U);
    EXPECT_EQ(oam_flag_load(desc.file_count), 1);
    EXPECT_EQ(fs::file_size(file(1)), 114U);
    EXPECT_EQ(desc.file_size, 114);
    EXPECT_FALSE(fs::exists(file(2)));
}

TEST_F(LogStore, OpenOfOverSizeFileRotatesNothingBeforeTheCount)
{
    write_file(file(1), std::string(200, '1'));
    write_file(file(2), "two");
    write_file(file(3), "three");
    const std::string journal = dir + "/oam_events";
    ASSERT_EQ(oam_journal_open(journal.c_str(), OAM_JOURNAL_MAX_BYTES), 0);

    ASSERT_EQ(oam_get_log_file(&desc), 0);
    // Nothing was renamed: no rotation is journalled.
    EXPECT_EQ(read_text(journal), "");
    // Closed and reopened in place: the count is still 0 here.
    EXPECT_EQ(oam_flag_load(desc.file_count), 1);
    EXPECT_EQ(fs::file_size(file(1)), 200U);
    EXPECT_EQ(read_text(file(2)), "two");
    EXPECT_EQ(desc.file_size, 200);
    ASSERT_EQ(get_former_log_num(&desc), 0);
    EXPECT_EQ(oam_flag_load(desc.file_count), 3);

    store(1);
    EXPECT_EQ(oam_flag_load(desc.file_count), 4);
    EXPECT_EQ(fs::file_size(file(2)), 219U);
    EXPECT_EQ(read_text(file(3)), "two");
    EXPECT_EQ(read_text(file(4)), "three");
    EXPECT_EQ(fs::file_size(file(1)), 0U);
    EXPECT_EQ(count_of(read_text(journal), " bfg rotated " + file(1) + " full at 219 bytes\n"), 1U);
    oam_journal_close();
}

TEST_F(LogStore, FileOfExactlyTheLimitIsRotatedAfterTheFirstRecord)
{
    write_file(file(1), std::string(100, '1'));
    start();
    EXPECT_EQ(oam_flag_load(desc.file_count), 1);
    EXPECT_EQ(desc.file_size, 100);
    EXPECT_FALSE(fs::exists(file(2)));

    store(1);
    EXPECT_EQ(fs::file_size(file(2)), 119U);
    EXPECT_EQ(fs::file_size(file(1)), 0U);
    EXPECT_EQ(oam_flag_load(desc.file_count), 2);
}

TEST_F(LogStore, DeletedCurrentFileIsRecreatedWithin101Records)
{
    desc.size.value = 1 << 20;
    start();
    store(1);
    ASSERT_EQ(unlink(desc.file_path), 0);

    for (int i = 0; i < 100; ++i) {
        store(1);
    }
    EXPECT_FALSE(fs::exists(desc.file_path));
    store(1);
    ASSERT_TRUE(fs::exists(desc.file_path));
    EXPECT_EQ(fs::file_size(desc.file_path), 19U);
    EXPECT_EQ(desc.file_size, 19);
    EXPECT_EQ(desc.write_count, 1);

    // The next check comes 101 records later.
    ASSERT_EQ(unlink(desc.file_path), 0);
    for (int i = 0; i < 100; ++i) {
        store(1);
    }
    EXPECT_FALSE(fs::exists(desc.file_path));
    store(1);
    EXPECT_TRUE(fs::exists(desc.file_path));
}

TEST_F(LogStore, CountSkipsDirectoriesButNotOddlyNamedFiles)
{
    write_file(file(1), std::string(95, '1'));
    write_file(file(2), "two");
    write_file(dir + "/wifi_log_old", "old");
    write_file(dir + "/other_1", "x");
    ASSERT_TRUE(fs::create_directory(dir + "/wifi_log_9"));
    start();
    EXPECT_EQ(oam_flag_load(desc.file_count), 3);
    EXPECT_EQ(fs::current_path(), fs::path(dir));

    testing::internal::CaptureStdout();
    store(0);
    const std::string out = testing::internal::GetCapturedStdout();
    // Number 3 does not exist: reported, and the rotation goes on.
    EXPECT_EQ(count_of(out, "rename ret < 0"), 1U);
    EXPECT_EQ(read_text(file(3)), "two");
    EXPECT_EQ(fs::file_size(file(2)), 113U);
    EXPECT_EQ(read_text(dir + "/wifi_log_old"), "old");
    EXPECT_TRUE(fs::is_directory(dir + "/wifi_log_9"));
    EXPECT_EQ(oam_flag_load(desc.file_count), 4);

    oam_log_desc missing{};
    std::strcpy(missing.path.value, "/tmp/no-such-dir/");
    missing.name = "wifi_log_";
    EXPECT_EQ(get_former_log_num(&missing), -1);
    EXPECT_EQ(get_former_log_num(nullptr), -1);
}

TEST_F(LogStore, CountedSizeFollowsTheRealFileAcrossRotationAndReopen)
{
    desc.size.value = 500;
    desc.num.value = 200;
    start();
    int64_t written = 0;
    for (uint32_t i = 0; i < 300; ++i) {
        const uint32_t len = (i * 37U) % 120U;
        store(len);
        written += 18 + len;
        ASSERT_EQ(desc.file_size, real_size()) << i;
        ASSERT_LT(desc.file_size, desc.size.value) << i;
        if (i % 50 == 49) {
            fclose(desc.fp);
            desc.fp = nullptr;
            ASSERT_EQ(oam_get_log_file(&desc), 0);
            ASSERT_EQ(desc.file_size, real_size());
        }
    }
    // Nothing dropped out, and each full file stopped at the first record
    // that reached the limit.
    int64_t total = 0;
    const int files = oam_flag_load(desc.file_count);
    ASSERT_LT(files, 200);
    for (int n = 1; n <= files; ++n) {
        const int64_t sz = static_cast<int64_t>(fs::file_size(file(n)));
        total += sz;
        if (n > 1) {
            EXPECT_GE(sz, 500) << n;
            EXPECT_LT(sz, 500 + 18 + 120) << n;
        }
    }
    EXPECT_EQ(total, written);
    EXPECT_FALSE(fs::exists(file(files + 1)));
}

TEST_F(LogStore, ClosedStreamIsReopenedForTheNextRecord)
{
    start();
    fclose(desc.fp);
    desc.fp = nullptr;
    desc.write_count = 40;
    store(5);
    EXPECT_NE(desc.fp, nullptr);
    EXPECT_EQ(desc.write_count, 1);
    EXPECT_EQ(fs::file_size(file(1)), 23U);

    // A file that cannot be opened: three tries, then the record is dropped.
    std::string bad = dir + "/gone/wifi_log_1";
    std::memcpy(desc.file_path, bad.c_str(), bad.size() + 1);
    fclose(desc.fp);
    desc.fp = nullptr;
    testing::internal::CaptureStdout();
    store(5);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(desc.fp, nullptr);
    EXPECT_EQ(count_of(out, "failed;errno:No such file or directory"), 2U);
    EXPECT_EQ(count_of(out, "can't open " + bad + ";errno:No such file or directory"), 1U);
    EXPECT_EQ(oam_get_log_file(nullptr), -1);
    EXPECT_EQ(check_file_size(nullptr), -1);
    EXPECT_EQ(check_file_size(&desc), -1);
}

TEST_F(LogStore, FailedWriteIsRepairedOnceThenReported)
{
    // Every write to the file fails: it is at the most a file may hold (a
    // character device such as /dev/full is no log file, not opened at all).
    write_file(file(1), std::string(4096, 'x'));
    desc.size.value = 1 << 20;
    ASSERT_EQ(oam_get_log_file(&desc), 0);
    desc.write_count = 7;
    rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto old_handler = signal(SIGXFSZ, SIG_IGN);
    rlimit none = old;
    none.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &none), 0);
    testing::internal::CaptureStdout();
    store(4);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(count_of(out, "]write test log file err;errno:File too large"), 1U);
    EXPECT_EQ(count_of(out, "]second write test log file err;errno:File too large"), 1U);
    EXPECT_EQ(out.find("oam_log_store_batch"), 1U);
    EXPECT_NE(desc.fp, nullptr);
    EXPECT_EQ(desc.write_count, 1);
}

TEST_F(LogStore, WriteThatStopsShortLeavesNoPartOfTheRecord)
{
    desc.size.value = 1 << 20;
    start();
    store(10);  // 28 bytes
    ASSERT_EQ(real_size(), 28);

    // The file may grow to 40 bytes: the next 28-byte record stops short.
    // The limit holds for every file of the process, captured output too, so
    // the outcome is judged by the file alone.
    fflush(stdout);
    struct sigaction ignore {};
    struct sigaction old_action {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &old_action), 0);
    rlimit old_limit{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    rlimit small = old_limit;
    small.rlim_cur = 40;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    store(10);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old_limit), 0);
    ASSERT_EQ(sigaction(SIGXFSZ, &old_action, nullptr), 0);

    EXPECT_NE(desc.fp, nullptr);
    EXPECT_EQ(real_size(), 28);
    EXPECT_EQ(desc.file_size, 28);
    store(10);
    EXPECT_EQ(real_size(), 56);
    EXPECT_EQ(desc.file_size, 56);
}

// A record as the daemon writes it with n data bytes; its length field len when given.
std::string stored_record(size_t n, uint16_t len = 0)
{
    const uint16_t stamp[OAM_STAMP_FIELDS] = {2026, 12, 9, 10, 0, 3, 0};
    len = len != 0 ? len : static_cast<uint16_t>(OAM_RECORD_HDR_LEN + n);
    std::string rec = {static_cast<char>(OAM_RECORD_MARKER), 0, static_cast<char>(len & 0xFF), static_cast<char>(len >> 8)};
    return rec + std::string(reinterpret_cast<const char *>(stamp), sizeof(stamp)) + std::string(n, 'd');
}

struct trim_case {
    const char *name;
    std::string file;
    size_t kept;  // bytes left in the file
};

const std::string WHOLE = stored_record(5) + stored_record(5) + stored_record(5);  // 69 bytes

class LogTrim : public LogStore, public ::testing::WithParamInterface<trim_case> {};

TEST_P(LogTrim, CutsOnlyARecordCutShortBehindTheLastWholeOne)
{
    const trim_case &c = GetParam();
    write_file(desc.file_path, c.file);
    const std::string journal = dir + "/oam_events";
    ASSERT_EQ(oam_journal_open(journal.c_str(), OAM_JOURNAL_MAX_BYTES), 0);
    testing::internal::CaptureStdout();
    oam_log_trim_cut_record(&desc);
    const std::string out = testing::internal::GetCapturedStdout();
    oam_journal_flush();
    oam_journal_close();
    EXPECT_EQ(count_of(read_text(journal), " bfg lost 1 records: cut short at the end of file 1 by the last stop, "),
              c.kept < c.file.size() ? 1U : 0U);
    EXPECT_EQ(read_text(desc.file_path), c.file.substr(0, c.kept));
    EXPECT_EQ(out.find(" cut off") != std::string::npos, c.kept < c.file.size()) << out;
    EXPECT_EQ(count_of(out, std::string(desc.file_path) + " ended in part of a record: " +
                                std::to_string(c.file.size() - c.kept) + " bytes cut off\n"),
              c.kept < c.file.size() ? 1U : 0U);
}

INSTANTIATE_TEST_SUITE_P(
    Files, LogTrim,
    ::testing::Values(trim_case{"cut_tail_cut", WHOLE + stored_record(9).substr(0, 20), 69},
                      trim_case{"cut_header_cut", WHOLE + stored_record(9).substr(0, 3), 69},
                      trim_case{"last_whole_record_kept", WHOLE, 69},
                      trim_case{"whole_records_behind_a_cut_record_kept",
                                stored_record(600).substr(0, 300) + WHOLE + WHOLE, 300 + 138},
                      trim_case{"length_above_2048_kept", WHOLE + stored_record(5, 0x4000) + WHOLE, 69 + 23 + 69},
                      trim_case{"length_above_2048_at_the_end_kept", WHOLE + stored_record(10, 0x4000), 69 + 28},
                      trim_case{"empty_record_length_at_the_end_kept", WHOLE + stored_record(0).substr(0, 10), 79}),
    [](const auto &param_info) { return std::string(param_info.param.name); });

// After an unclean end every damaged stretch of file 1, and of the files
// rotated during that run, is cut out; the records behind one are kept,
// and each stretch is a loss over the time between the records around it.
std::string rec_at(int second, size_t n = 5)
{
    std::string rec = stored_record(n);
    const uint16_t sec = static_cast<uint16_t>(second);
    std::memcpy(&rec[OAM_RECORD_STAMP_OFFSET + 2 * OAM_STAMP_SECOND], &sec, sizeof(sec));
    return rec;
}

struct repair_case {
    const char *name;
    std::string file1, file2;  // file2 empty: none
    std::string kept1, kept2;
    uint64_t stretches;
    const char *from;  // the loss's window; to empty: not looked at
    const char *to;
    bool run_started_later;  // the rotated file is older than the run
    bool clean_stop = false;  // the run before journalled its stop
};

class LogRepair : public LogStore, public ::testing::WithParamInterface<repair_case> {};

TEST_P(LogRepair, DamageCutRecordsBehindKeptAndTheLossJournalled)
{
    const repair_case &c = GetParam();
    write_file(desc.file_path, c.file1);
    if (!c.file2.empty()) {
        write_file(file(2), c.file2);
    }
    const std::string journal = dir + "/oam_events";
    ASSERT_EQ(oam_journal_open(journal.c_str(), OAM_JOURNAL_MAX_BYTES), 0);
    const oam_last_run saved = g_last_run;
    g_last_run.known = true;
    g_last_run.unclean = !c.clean_stop;
    g_last_run.started_ts = {c.run_started_later ? time(nullptr) + 3600 : 0, 0};
    testing::internal::CaptureStdout();
    oam_log_trim_cut_record(&desc);
    (void)testing::internal::GetCapturedStdout();
    g_last_run = saved;
    oam_journal_flush();
    oam_journal_close();
    EXPECT_EQ(read_text(desc.file_path), c.kept1);
    EXPECT_EQ(read_text(file(2)), c.kept2);
    EXPECT_FALSE(fs::exists(std::string(desc.file_path) + ".repair.tmp"));
    const std::string text = read_text(journal);
    const std::string cause = " bfg lost " + std::to_string(c.stretches) + " records: cut at the start after an unclean end, ";
    EXPECT_EQ(count_of(text, " lost "), c.stretches != 0 ? 1U : 0U) << text;
    if (c.stretches != 0) {
        const size_t at = text.find(cause);
        ASSERT_NE(at, std::string::npos) << text;
        EXPECT_EQ(text.substr(at + cause.size(), strlen(c.from)), c.from) << text;
        const size_t to = text.find(" to ", at);
        EXPECT_EQ(text.substr(to + 4, strlen(c.to)), c.to) << text;
    }
}

const std::string ZEROS = std::string(3000, '\0');

INSTANTIATE_TEST_SUITE_P(
    Files, LogRepair,
    ::testing::Values(
        repair_case{"zeros_cut_records_behind_kept", rec_at(3) + rec_at(3) + ZEROS + rec_at(5) + rec_at(5), "",
                    rec_at(3) + rec_at(3) + rec_at(5) + rec_at(5), "", 1, "10:00:03.000", "10:00:05.000", false},
        repair_case{"two_stretches_one_window", rec_at(3) + std::string(100, '\0') + rec_at(4) + ZEROS + rec_at(7), "",
                    rec_at(3) + rec_at(4) + rec_at(7), "", 2, "10:00:03.000", "10:00:07.000", false},
        repair_case{"cut_tail", WHOLE + rec_at(9, 9).substr(0, 20), "", WHOLE, "", 1, "10:00:03.000", "", false},
        repair_case{"zero_tail", WHOLE + ZEROS, "", WHOLE, "", 1, "10:00:03.000", "", false},
        repair_case{"zeros_at_the_start", ZEROS + rec_at(4), "", rec_at(4), "", 1, "10:00:04.000", "10:00:04.000",
                    false},
        repair_case{"whole_file_untouched", WHOLE, "", WHOLE, "", 0, "", "", false},
        repair_case{"rotated_file_tail", rec_at(6), rec_at(3) + ZEROS + rec_at(4) + ZEROS, rec_at(6),
                    rec_at(3) + rec_at(4), 2, "10:00:03.000", "", false},
        repair_case{"rotated_before_the_run_left", WHOLE + ZEROS, rec_at(3) + ZEROS, WHOLE, rec_at(3) + ZEROS, 1,
                    "10:00:03.000", "", true},
        repair_case{"clean_stop_reads_nothing", WHOLE + ZEROS, "", WHOLE + ZEROS, "", 0, "", "", false, true}),
    [](const auto &param_info) { return std::string(param_info.param.name); });

// A batch stored in one go leaves the files exactly as its records stored
// one by one would (time stamps aside), and counts what it could not store.
struct BatchCase {
    const char *name;
    int32_t size_limit;
    int32_t write_count;  // before the batch
    bool delete_first;    // file 1 removed before the batch
    rlim_t file_limit;    // what the process may write to a file; 0: no limit
    std::vector<uint32_t> lens;
    uint32_t stored;
    uint32_t write_failed;
};

void PrintTo(const BatchCase &c, std::ostream *os)
{
    *os << c.name;
}

class LogStoreBatch : public LogStore, public ::testing::WithParamInterface<BatchCase> {
protected:
    // Every file of the directory, each record's stamp blanked.
    std::map<std::string, std::vector<uint8_t>> run(bool batched, uint32_t &stored, oam_store_loss &loss)
    {
        const BatchCase &c = GetParam();
        desc.size.value = c.size_limit;
        start();
        desc.write_count = c.write_count;
        if (c.delete_first) {
            unlink(desc.file_path);
        }
        std::vector<std::array<uint8_t, OAM_BUF_LEN>> recs(c.lens.size());
        oam_log_batch batch{};
        for (size_t i = 0; i < c.lens.size(); ++i) {
            std::memset(recs[i].data() + OAM_RECORD_HDR_LEN, static_cast<int>('a' + i), c.lens[i]);
            batch.rec[batch.count] = recs[i].data();
            batch.data_len[batch.count++] = c.lens[i];
        }
        struct sigaction ignore {};
        struct sigaction old_action {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGXFSZ, &ignore, &old_action);
        rlimit old_limit{};
        getrlimit(RLIMIT_FSIZE, &old_limit);
        rlimit small = old_limit;
        small.rlim_cur = c.file_limit != 0 ? c.file_limit : old_limit.rlim_cur;
        fflush(stdout);
        setrlimit(RLIMIT_FSIZE, &small);
        if (batched) {
            stored = oam_log_store_batch(&desc, &batch, WRITE_ERR, SECOND_WRITE_ERR, &loss);
        }
        for (size_t i = 0; !batched && i < c.lens.size(); ++i) {
            oam_log_store_record(&desc, recs[i].data(), c.lens[i], WRITE_ERR, SECOND_WRITE_ERR);
        }
        setrlimit(RLIMIT_FSIZE, &old_limit);
        sigaction(SIGXFSZ, &old_action, nullptr);

        std::map<std::string, std::vector<uint8_t>> files;
        for (const auto &entry : fs::directory_iterator(dir)) {
            std::vector<uint8_t> bytes = read_file(entry.path());
            for (size_t at = 0; at + 18 <= bytes.size(); at += oam_record_len(&bytes[at])) {
                std::fill_n(bytes.begin() + static_cast<long>(at) + 4, 14, 0);
            }
            files[entry.path().filename()] = bytes;
            fs::remove(entry.path());
        }
        fclose(desc.fp);
        desc.fp = nullptr;
        return files;
    }
};

TEST_P(LogStoreBatch, FilesAsIfStoredOneByOne)
{
    const BatchCase &c = GetParam();
    uint32_t stored = 0;
    oam_store_loss loss{};
    const auto batched = run(true, stored, loss);
    uint32_t unused = 0;
    const auto one_by_one = run(false, unused, loss);
    EXPECT_EQ(batched, one_by_one);
    EXPECT_EQ(stored, c.stored);
    EXPECT_EQ(loss.write_failed, c.write_failed);
    EXPECT_EQ(loss.not_open + loss.too_long, 0U);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LogStoreBatch,
    ::testing::Values(
        // 28 + 38 + 48 reach the limit of 100: the size check rotates after
        // the third record, the last two go to the new file 1.
        BatchCase{"CrossesTheSizeLimit", 100, 0, false, 0, {10, 20, 30, 40, 5}, 5, 0},
        // The existence check comes before the fourth record: the first
        // three go to the deleted file, the last two to a new file 1.
        BatchCase{"ExistenceCheckInside", 1 << 20, 98, true, 0, {1, 2, 3, 4, 5}, 5, 0},
        // The file may grow to 76 bytes: the write stops inside the third
        // record, which is cut off again; its retry fails too, and so do
        // those of the two behind it, each tried on its own.
        BatchCase{"WriteFailsPartWay", 1 << 20, 0, false, 76, {10, 20, 30, 40, 5}, 2, 3},
        // At 90 bytes the third and fourth records fail, the fifth still fits.
        BatchCase{"SmallerRecordFitsAfterAFailure", 1 << 20, 0, false, 90, {10, 20, 30, 40, 5}, 3, 2}),
    [](const auto &row) { return std::string(row.param.name); });

// /vendor is a private, empty tmpfs in the test sandbox.
class LogDirInit : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::remove_all("/vendor/log");
        old_mask = umask(0);
        g_st_global.st_bfg_log.file_count = 7;
        g_st_global.st_me_log.file_count = 8;
        g_st_global.st_wifi_log.file_count = 9;
    }
    void TearDown() override
    {
        umask(old_mask);
        fs::remove_all("/vendor/log");
    }
    static unsigned mode_of(const char *path)
    {
        struct stat st {};
        return stat(path, &st) == 0 ? (st.st_mode & 07777U) : 0U;
    }
    mode_t old_mask = 0;
};

TEST_F(LogDirInit, CreatesMissingDirectoriesAndResetsTheirCounts)
{
    ASSERT_EQ(oam_log_dir_init(), 0);
    for (const char *d : {"/vendor/log/", "/vendor/log/bfg_log/", "/vendor/log/me_log/", "/vendor/log/wifi_log/"}) {
        EXPECT_EQ(mode_of(d), 0775U) << d;
    }
    EXPECT_EQ(g_st_global.st_bfg_log.file_count, 0);
    EXPECT_EQ(g_st_global.st_me_log.file_count, 0);
    EXPECT_EQ(g_st_global.st_wifi_log.file_count, 0);

    // Only the directory that had to be made resets its core's count.
    g_st_global.st_bfg_log.file_count = 3;
    g_st_global.st_wifi_log.file_count = 4;
    fs::remove("/vendor/log/wifi_log/");
    umask(003);
    ASSERT_EQ(oam_log_dir_init(), 0);
    EXPECT_EQ(mode_of("/vendor/log/wifi_log/"), 0774U);
    EXPECT_EQ(g_st_global.st_bfg_log.file_count, 3);
    EXPECT_EQ(g_st_global.st_wifi_log.file_count, 0);
}

TEST_F(LogDirInit, ReportsWhichLevelCouldNotBeCreated)
{
    // A plain file where a directory belongs cannot be created over.
    write_file("/vendor/log", "x");
    EXPECT_EQ(oam_log_dir_init(), -1);
    fs::remove("/vendor/log");

    ASSERT_TRUE(fs::create_directory("/vendor/log"));
    write_file("/vendor/log/me_log", "x");
    testing::internal::CaptureStdout();
    EXPECT_EQ(oam_log_dir_init(), -2);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Failed to create dir /vendor/log/me_log/,errno:"), std::string::npos);
    EXPECT_TRUE(fs::is_directory("/vendor/log/bfg_log"));
    EXPECT_FALSE(fs::exists("/vendor/log/wifi_log"));
    EXPECT_EQ(g_st_global.st_bfg_log.file_count, 0);
    EXPECT_EQ(g_st_global.st_me_log.file_count, 8);
}

}  // namespace
