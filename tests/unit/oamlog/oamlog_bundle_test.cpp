// Bundles: the members' SHA-256, a bundle read back from damaged or hostile
// bytes, and the limits of writing one.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <csignal>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include "common/oam_tar.h"
#include "oamlog/bundle_write.h"
#include "oamlog/read_bundle.h"
#include "oamlog/read_journal.h"
#include "oamlog/read_sha256.h"
#include "oamlog/read_source.h"
#include "oamlog/read_stamp.h"
#include "oamlog/read_zst.h"
#include "oamlog/reader_status.h"
#include "oamlog/timeline.h"
#include "oamlog/view_print.h"
#include "oamlog/view_tables.h"
#include "oamlog_test_util.h"

namespace {

struct sha_case {
    const char *name;
    std::string input;
    size_t chunk;  // fed in pieces of this many bytes
    const char *hex;
};

std::vector<sha_case> sha_cases()
{
    const std::string two_blocks =
        "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";
    return {
        {"empty", "", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"padding_just_fits", std::string(55, 'a'), 55, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {"padding_needs_a_block", std::string(56, 'a'), 7, "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {"one_short_of_a_block", std::string(63, 'a'), 63, "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
        {"one_block", std::string(64, 'a'), 64, "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {"one_past_a_block", std::string(65, 'a'), 1, "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
        {"two_blocks_in_odd_pieces", two_blocks, 13, "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {"a_million_a", std::string(1000000, 'a'), 4099, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
}

class Sha256 : public testing::TestWithParam<sha_case> {};

TEST_P(Sha256, KnownDigests)
{
    const sha_case &c = GetParam();
    oamlog_sha256 ctx;
    oamlog_sha256_init(&ctx);
    for (size_t at = 0; at < c.input.size(); at += c.chunk) {
        oamlog_sha256_update(&ctx, c.input.data() + at, std::min(c.chunk, c.input.size() - at));
    }
    EXPECT_EQ(oamlog_sha256_hex(&ctx), c.hex);
}

INSTANTIATE_TEST_SUITE_P(Vectors, Sha256, testing::ValuesIn(sha_cases()),
                         [](const testing::TestParamInfo<sha_case> &p) { return std::string(p.param.name); });

std::string sha_of(const std::string &data)
{
    oamlog_sha256 ctx;
    oamlog_sha256_init(&ctx);
    oamlog_sha256_update(&ctx, data.data(), data.size());
    return oamlog_sha256_hex(&ctx);
}

struct member {
    std::string name;
    std::string data;
    char type = '0';
    const char *size_field = nullptr;  // in place of the true size
    bool bad_sum = false;
    const char *prefix = nullptr;  // the ustar name prefix
};

std::string tar_of(const std::vector<member> &members)
{
    std::string tar;
    for (const member &m : members) {
        uint8_t block[OAM_TAR_BLOCK] = {};
        // The name is put in whole: a hostile one need not be cut.
        oam_tar_header(block, "", static_cast<uint32_t>(m.data.size()));
        memset(block, 0, 100);
        memcpy(block, m.name.data(), std::min<size_t>(m.name.size(), 100));
        block[156] = static_cast<uint8_t>(m.type);
        if (m.size_field != nullptr) {
            memcpy(block + 124, m.size_field, 12);
        }
        if (m.prefix != nullptr) {
            memcpy(block + 257, "ustar", 6);
            memcpy(block + 345, m.prefix, strlen(m.prefix));
        }
        // The checksum again, over what was changed.
        memset(block + 148, ' ', 8);
        unsigned sum = 0;
        for (uint8_t b : block) {
            sum += b;
        }
        (void)snprintf(reinterpret_cast<char *>(block) + 148, 8, "%06o", m.bad_sum ? sum + 1 : sum);
        tar.append(reinterpret_cast<char *>(block), sizeof(block));
        tar += m.data;
        tar.append((OAM_TAR_BLOCK - m.data.size() % OAM_TAR_BLOCK) % OAM_TAR_BLOCK, '\0');
    }
    return tar + std::string(2 * OAM_TAR_BLOCK, '\0');
}

std::string manifest_of(const std::vector<member> &members)
{
    std::string m = "{\n\"members\":[";
    for (const member &b : members) {
        m += std::string(m.back() == '[' ? "\n" : ",\n") + "{\"name\":\"" + b.name + "\",\"size\":" +
             std::to_string(b.data.size()) + ",\"sha256\":\"" + sha_of(b.data) + "\"}";
    }
    return m + "]\n}\n";
}

// keep: bytes kept from the start, or from the end when negative; flip:
// a byte that many bytes before the end gets one bit changed.
void gzip_to(const std::string &path, const std::string &raw, long keep, size_t flip = 0)
{
    gzFile gz = gzopen(path.c_str(), "wb");
    ASSERT_NE(gz, nullptr);
    ASSERT_EQ(gzwrite(gz, raw.data(), static_cast<unsigned>(raw.size())), static_cast<int>(raw.size()));
    ASSERT_EQ(gzclose(gz), Z_OK);
    std::string bytes = slurp(path);
    if (keep != 0) {
        bytes.resize(keep > 0 ? static_cast<size_t>(keep) : bytes.size() - static_cast<size_t>(-keep));
    }
    if (flip != 0) {
        bytes[bytes.size() - flip] = static_cast<char>(bytes[bytes.size() - flip] ^ 0x10);
    }
    put(path, bytes);
}

// Bytes gzip cannot shrink: stored as they are, so that a place in the
// file is a place in them.
std::string noise(size_t n)
{
    std::string out(n, '\0');
    uint32_t x = 2463534242U;
    for (char &c : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return out;
}

const std::string RECORD = std::string("\xAA\x00\x1A\x00\xEA\x07\x0C\x00\x09\x00\x0A\x00\x00\x00\x01\x00\x00\x00", 18) +
                           "12345678";
const member LOG{"wifi_log/wifi_log_1", RECORD};
const member EVENTS{"oam_events", "2026-12-09 10:00:00.000 oam start version 1\n"};
const member NOISE{"wifi_log/wifi_log_1", noise(65536)};

struct read_case {
    const char *name;
    std::vector<member> members;       // in the tar, before the manifest
    std::vector<member> listed;        // in the manifest; none: no manifest
    long keep;                         // bytes of the gzip file kept (gzip_to); 0 all
    std::vector<std::string> present;  // unpacked
    std::vector<std::string> said;     // in the damage report
    uint64_t damaged;
    bool manifest_first = false;       // as written now; before, it came last
    size_t flip = 0;                   // gzip_to
};

std::vector<read_case> read_cases()
{
    const std::vector<member> good = {EVENTS, LOG};
    const long npos = 0;
    const member prefixed{"wifi_log/wifi_log_1", RECORD, '0', nullptr, false, "elsewhere"};
    const member hidden{"wifi_log/.wifi_log_1", RECORD};
    return {
        // Listed, so that only the name keeps it out.
        {"hidden_name", {EVENTS, hidden}, {EVENTS, hidden}, npos, {"oam_events"},
         {"wifi_log/.wifi_log_1: not a bundle member's name", "listed in the manifest, not in the bundle"}, 2},
        {"ustar_prefix", {EVENTS, prefixed}, {EVENTS, prefixed}, npos, {"oam_events"},
         {"wifi_log/wifi_log_1: not a bundle member's name", "listed in the manifest, not in the bundle"}, 2},
        {"not_listed", good, {EVENTS}, npos, {"oam_events"}, {"wifi_log/wifi_log_1: not in the manifest; left out"}, 1},
        {"listed_not_there", {EVENTS}, good, npos, {"oam_events"},
         {"wifi_log/wifi_log_1: listed in the manifest, not in the bundle"}, 1},
        // An entry not closed is none.
        {"manifest_not_understood",
         {EVENTS, {"manifest.json", manifest_of({EVENTS}).substr(0, manifest_of({EVENTS}).size() - 6) + std::string(4095, '{')}},
         {}, npos, {"manifest.json"}, {"4096 member entries not understood", "oam_events: not in the manifest; left out"}, 2},
        // The manifest first: a bundle cut short still checks what came.
        {"cut_after_the_manifest", {EVENTS, NOISE, {"bfg_log/bfg_log_1", RECORD}}, {EVENTS, NOISE, {"bfg_log/bfg_log_1", RECORD}},
         -30000, {"oam_events"},
         {"cut short in wifi_log/wifi_log_1; what came before is read", "1 members of the manifest lost past the damage"}, 1,
         true},
        {"flipped_byte", {EVENTS, NOISE}, {EVENTS, NOISE}, npos, {"oam_events"},
         {"gzip: incorrect data check", "wifi_log/wifi_log_1: does not match the manifest's size and sha256; left out"},
         2, true, 30000},
        {"whole", good, good, npos, {"oam_events", "wifi_log/wifi_log_1"}, {}, 0},
        {"parent_folder", {EVENTS, {"../oamlog_bundle_escape", "x"}}, {EVENTS}, npos, {"oam_events"},
         {"../oamlog_bundle_escape: not a bundle member's name; left out"}, 1},
        {"absolute", {{"/tmp/oamlog_bundle_escape", "x"}, LOG}, {LOG}, npos, {"wifi_log/wifi_log_1"},
         {"/tmp/oamlog_bundle_escape: not a bundle member's name"}, 1},
        {"deeper_path", {{"wifi_log/../../oamlog_bundle_escape", "x"}, LOG}, {LOG}, npos, {"wifi_log/wifi_log_1"},
         {"not a bundle member's name"}, 1},
        {"unknown_folder", {{"etc/passwd", "x"}}, {}, npos, {}, {"etc/passwd: not a bundle member's name", "no manifest"},
         2},
        {"symbolic_link", {{"wifi_log/wifi_log_2", "", '2'}, LOG}, {LOG}, npos, {"wifi_log/wifi_log_1"},
         {"wifi_log/wifi_log_2: not a plain file"}, 1},
        {"fifo", {{"wifi_log/wifi_log_2", "", '6'}, LOG}, {LOG}, npos, {"wifi_log/wifi_log_1"}, {"not a plain file"}, 1},
        {"control_bytes_in_a_name", {{"wifi_log/\x1b[2J", "x"}, LOG}, {LOG}, npos, {"wifi_log/wifi_log_1"},
         {"wifi_log/\\x1b[2J: not a bundle member's name"}, 1},
        {"second_member_of_a_name", {LOG, {"wifi_log/wifi_log_1", "other"}}, {LOG}, npos, {"wifi_log/wifi_log_1"},
         {"a second member of that name"}, 1},
        {"huge_size_then_the_stream_ends", {{"wifi_log/wifi_log_1", "", '0', "77777777777"}}, good, npos, {},
         {"larger than a bundle holds", "cut short", "no manifest"}, 3},
        {"binary_size", {{"wifi_log/wifi_log_1", "", '0', "\x80\0\0\0\0\0\0\0\0\0\0\x10"}, EVENTS}, good, npos, {},
         {"member 1: damaged header; the rest is not read"}, 2},
        {"checksum", {EVENTS, {"wifi_log/wifi_log_1", RECORD, '0', nullptr, true}}, good, npos, {"oam_events"},
         {"member 2: damaged header"}, 2},
        {"content_changed", {EVENTS, {"wifi_log/wifi_log_1", RECORD.substr(0, 25) + "9"}}, good, npos, {"oam_events"},
         {"wifi_log/wifi_log_1: does not match the manifest's size and sha256; left out"}, 1},
        {"cut_short", good, good, 60, {}, {"cut short before member 1", "no manifest"}, 2},
    };
}

class BundleRead : public testing::TestWithParam<read_case> {};

TEST_P(BundleRead, KeepsWhatIsSoundAndSaysWhatIsNot)
{
    const read_case &c = GetParam();
    const std::string dir = fresh_dir();
    std::vector<member> members = c.members;
    if (!c.listed.empty()) {
        members.insert(c.manifest_first ? members.begin() : members.end(), {"manifest.json", manifest_of(c.listed)});
    }
    const std::string bundle = dir + "b.tar.gz";
    gzip_to(bundle, tar_of(members), c.keep, c.flip);
    captured out;
    g_oamlog_damage_out = out.f;
    g_oamlog_damage_count = 0;
    g_oamlog_status = OAMLOG_OK;
    std::string root;
    ASSERT_EQ(oamlog_bundle_open(bundle, &root), 0);
    g_oamlog_damage_out = stderr;
    const std::string said = out.text();
    EXPECT_EQ(g_oamlog_damage_count, c.damaged) << said;
    EXPECT_EQ(g_oamlog_status, c.damaged > 0 ? OAMLOG_DAMAGED : OAMLOG_OK);
    g_oamlog_status = OAMLOG_OK;
    for (const std::string &text : c.said) {
        EXPECT_NE(said.find(text), std::string::npos) << text << " not in:\n" << said;
    }
    for (const member &m : c.members) {
        struct stat st {};
        const bool want = std::find(c.present.begin(), c.present.end(), m.name) != c.present.end();
        EXPECT_EQ(lstat((root + "/" + m.name).c_str(), &st) == 0, want) << m.name;
    }
    if (c.listed.size() == 2 && c.present.size() == 2) {
        EXPECT_EQ(slurp(root + "/wifi_log/wifi_log_1"), c.members[1].data);
    }
    struct stat st {};
    EXPECT_NE(lstat("/tmp/oamlog_bundle_escape", &st), 0);
    oamlog_bundle_remove();
    EXPECT_NE(lstat(root.c_str(), &st), 0) << "the unpacked folder is removed";
}

INSTANTIATE_TEST_SUITE_P(Inputs, BundleRead, testing::ValuesIn(read_cases()),
                         [](const testing::TestParamInfo<read_case> &p) { return std::string(p.param.name); });

std::string record(uint16_t ms_total, size_t data_len)
{
    std::string rec(18 + data_len, 'r');
    const uint16_t stamp[7] = {2026, 12, 9, 10, static_cast<uint16_t>(ms_total / 60000),
                               static_cast<uint16_t>(ms_total / 1000 % 60), static_cast<uint16_t>(ms_total % 1000)};
    rec[0] = '\xAA';
    rec[1] = 0;
    rec[2] = static_cast<char>(rec.size() & 0xFF);
    rec[3] = static_cast<char>(rec.size() >> 8);
    for (int i = 0; i < 7; ++i) {
        rec[4 + 2 * i] = static_cast<char>(stamp[i] & 0xFF);
        rec[5 + 2 * i] = static_cast<char>(stamp[i] >> 8);
    }
    return rec;
}

// --max-size: the bundle stays within it, the newest records of every
// core are kept, and the manifest says from where on.
TEST(BundleWrite, MaxSizeWindowAndSettings)
{
    const std::string dir = fresh_dir();
    ASSERT_EQ(mkdir((dir + "wifi_log").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((dir + "bfg_log").c_str(), 0700), 0);
    // 1.6 MiB of records, wifi in two files, the cores taking turns.
    std::string wifi2;
    std::string wifi1;
    std::string bfg;
    constexpr uint16_t count = 800;
    for (uint16_t i = 0; i < count; ++i) {
        (i < count / 2 ? wifi2 : wifi1) += record(static_cast<uint16_t>(2 * i), 1000);
        bfg += record(static_cast<uint16_t>(2 * i + 1), 1000);
    }
    for (const auto &[name, bytes] : {std::pair{"wifi_log/wifi_log_2", &wifi2}, std::pair{"wifi_log/wifi_log_1", &wifi1},
                                      std::pair{"bfg_log/bfg_log_1", &bfg}}) {
        FILE *f = fopen((dir + name).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(fwrite(bytes->data(), 1, bytes->size(), f), bytes->size());
        ASSERT_EQ(fclose(f), 0);
    }
    // The members keep the files' modes and times.
    ASSERT_EQ(chmod((dir + "wifi_log/wifi_log_2").c_str(), 0640), 0);
    const struct timeval times[2] = {{1796900000, 0}, {1796900000, 0}};
    ASSERT_EQ(utimes((dir + "wifi_log/wifi_log_2").c_str(), times), 0);
    // Incompressible records would make the check the same; the limit is
    // on what is packed.
    const std::string out = dir + "b.tar.gz";
    oamlog_bundle_opts opts{"t", out, dir, {}, "", 0, UINT64_MAX, 1};
    ASSERT_EQ(oamlog_bundle_write(opts), OAMLOG_OK);
    gzFile gz = gzopen(out.c_str(), "rb");
    ASSERT_NE(gz, nullptr);
    std::string tar;
    char buf[65536];
    int n;
    while ((n = gzread(gz, buf, sizeof(buf))) > 0) {
        tar.append(buf, static_cast<size_t>(n));
    }
    (void)gzclose(gz);
    EXPECT_LE(tar.size(), 1U << 20);
    // The manifest leads, so that a bundle cut short still tells what it held.
    EXPECT_EQ(tar.compare(0, 14, std::string("manifest.json\0", 14)), 0);
    const size_t wifi2_at = tar.find(std::string("wifi_log/wifi_log_2\0", 20));
    ASSERT_NE(wifi2_at, std::string::npos);
    EXPECT_EQ(tar.substr(wifi2_at + 100, 8), std::string("100640 \0", 8));
    EXPECT_EQ(tar.substr(wifi2_at + 136, 12), std::string("15306502240\0", 12));  // octal of 1796900000

    std::string root;
    ASSERT_EQ(oamlog_bundle_open(out, &root), 0);
    const std::string kept_wifi = slurp(root + "/wifi_log/wifi_log_2") + slurp(root + "/wifi_log/wifi_log_1");
    const std::string kept_bfg = slurp(root + "/bfg_log/bfg_log_1");
    const std::string manifest = slurp(root + "/manifest.json");
    oamlog_bundle_remove();
    EXPECT_EQ(manifest.substr(manifest.size() - 4), "]\n}\n") << "the member holds the manifest and no more";
    // The newest ends of both cores, taking turns to the cut, and little
    // room wasted.
    ASSERT_GT(kept_bfg.size(), 0U);
    EXPECT_EQ(kept_bfg, bfg.substr(bfg.size() - kept_bfg.size()));
    const std::string wifi = wifi2 + wifi1;
    EXPECT_EQ(kept_wifi, wifi.substr(wifi.size() - kept_wifi.size()));
    EXPECT_LE(kept_wifi.size() - kept_bfg.size() + 1018, 2036U) << "one record apart at most";
    EXPECT_GT(kept_wifi.size() + kept_bfg.size(), 900U * 1024);
    const size_t left = (wifi.size() - kept_wifi.size()) / 1018;
    EXPECT_NE(manifest.find("\"records_left_out\":" + std::to_string(left)), std::string::npos) << manifest;
    // Left out exactly up to the oldest record kept: no millisecond more.
    const auto oldest = static_cast<unsigned>(std::min(2 * (count - kept_wifi.size() / 1018),
                                                       2 * (count - kept_bfg.size() / 1018) + 1));
    char from[64];
    (void)snprintf(from, sizeof(from), "\"records_left_out_before\":\"2026-12-09T10:%02u:%02u.%03uZ\"",
                   oldest / 60000, oldest / 1000 % 60, oldest % 1000);
    EXPECT_NE(manifest.find(from), std::string::npos) << from << "\n" << manifest;
    EXPECT_NE(manifest.find("\"max_size_mib\":1,"), std::string::npos);

    // Never over a file that is there, and nothing left behind.
    const std::string before = slurp(out);
    EXPECT_EQ(oamlog_bundle_write(opts), OAMLOG_FAILED);
    EXPECT_EQ(slurp(out), before);
    struct stat st {};
    EXPECT_NE(lstat((out + ".part" + std::to_string(getpid())).c_str(), &st), 0);
    g_oamlog_status = OAMLOG_OK;

    // The run's chip and boot come from its start, however long before the
    // window; the losses are the window's only.
    FILE *j = fopen((dir + "oam_events").c_str(), "w");
    ASSERT_NE(j, nullptr);
    (void)fputs("2026-12-09 09:00:00.000 oam start version 1, mode test, chip zr4001, pid 7, boot b-1, boottime 2.5\n"
                "2026-12-09 09:30:00.000 wifi lost 4 records: no space left on device, 09:29:59.000 to 09:30:00.000\n"
                "2026-12-09 10:00:00.700 wifi rotated /vendor/log/wifi_log/wifi_log_1 full at 10485760 bytes\n"
                "2026-12-09 10:00:00.900 wifi lost 3 records: no space left on device, 10:00:00.500 to 10:00:00.900\n",
                j);
    ASSERT_EQ(fclose(j), 0);
    // The settings files: the customer's as it is; the chip's, named by the
    // driver, here one that never reads the same twice (its size is 0).
    ASSERT_EQ(getenv("OAM_UNIT_SANDBOX") != nullptr, true);
    (void)mkdir("/sys/zr400x_ps", 0755);
    (void)mkdir("/data/vendor", 0755);
    (void)mkdir("/data/vendor/cust_conn", 0755);
    FILE *node = fopen("/sys/zr400x_ps/ini_file_name", "w");
    FILE *cust = fopen("/data/vendor/cust_conn/ini_cfg", "w");
    ASSERT_TRUE(node != nullptr && cust != nullptr);
    (void)fputs("/proc/uptime\n", node);  // not one the emulators of other machines stand in for
    (void)fputs("[HOST_PLAT]\nlog_max_use=64\n", cust);
    ASSERT_EQ(fclose(node) | fclose(cust), 0);
    oamlog_bundle_opts window{"t", dir + "w.tar.gz", dir, {}, "", 0, UINT64_MAX, 0};
    ASSERT_EQ(oamlog_parse_time("2026-12-09T10:00", false, &window.since), 0);
    ASSERT_EQ(oamlog_bundle_write(window), OAMLOG_OK);
    ASSERT_EQ(oamlog_bundle_open(window.out, &root), 0);
    const std::string in_window = slurp(root + "/manifest.json");
    EXPECT_EQ(slurp(root + "/ini/cust_ini_cfg"), "[HOST_PLAT]\nlog_max_use=64\n");
    EXPECT_NE(in_window.find("{\"name\":\"ini/uptime\",\"why\":\"changed while read\"}"), std::string::npos);
    // As written: a loss is shown where it began, but stays where it was written.
    EXPECT_EQ(slurp(root + "/oam_events"),
              "2026-12-09 10:00:00.700 wifi rotated /vendor/log/wifi_log/wifi_log_1 full at 10485760 bytes\n"
              "2026-12-09 10:00:00.900 wifi lost 3 records: no space left on device, 10:00:00.500 to 10:00:00.900\n");
    oamlog_bundle_remove();
    EXPECT_NE(in_window.find("\"chips\":[\"zr4001\"],\n\"modes\":[\"test\"],\n\"boots\":[\"b-1\"]"),
              std::string::npos) << in_window;
    EXPECT_NE(in_window.find("{\"core\":\"wifi\",\"records\":800,\"bytes\":814400,\"records_left_out\":0,\"lost\":3,"),
              std::string::npos) << in_window;
}

// Written for a dump, a bundle reads back with that dump's window and the
// context kept with it, as --dump read them where it was written.
TEST(BundleWrite, ADumpsBundleReadsWithItsWindowAndContext)
{
    const std::string dir = fresh_dir();
    ASSERT_EQ(mkdir((dir + "memdump").c_str(), 0700), 0);
    const std::string archive = "readm_wifi_sdio_2026_12_09_10_00_00.tar.gz";
    put(dir + "memdump/" + archive, "archive");
    put(dir + "memdump/readm_wifi_sdio_2026_12_09_10_00_00.context", "oam dump context: 30 s before 2026-12-09 10:00:00.000\n");
    oamlog_bundle_opts opts{"t", dir + "b.tar.gz", dir, {}, "/vendor/log/memdump/" + archive, 0, 0, 0};
    ASSERT_EQ(oamlog_parse_time("2026-12-09T09:59:30", false, &opts.since), 0);
    ASSERT_EQ(oamlog_parse_time("2026-12-09T10:00:00.999", true, &opts.until), 0);
    ASSERT_EQ(oamlog_bundle_write(opts), OAMLOG_OK);
    std::string root;
    std::string context;
    uint64_t since = 0;
    uint64_t until = UINT64_MAX;
    ASSERT_EQ(oamlog_bundle_open(opts.out, &root), 0);
    EXPECT_TRUE(oamlog_bundle_window(&context, &since, &until));
    EXPECT_EQ(context, root + "/memdump/readm_wifi_sdio_2026_12_09_10_00_00.context");
    EXPECT_EQ(since, opts.since);
    EXPECT_EQ(until, opts.until);
    oamlog_bundle_remove();
    // One of no dump has no window to keep to.
    opts.dump.clear();
    opts.out = dir + "c.tar.gz";
    ASSERT_EQ(oamlog_bundle_write(opts), OAMLOG_OK);
    ASSERT_EQ(oamlog_bundle_open(opts.out, &root), 0);
    EXPECT_FALSE(oamlog_bundle_window(&context, &since, &until));
    oamlog_bundle_remove();
}

// Files that may grow no more than max stand in for a full disk, while
// in scope; once, the first write past it lifting the limit again.
struct rlimit g_fsize_was;

void fsize_lift(int)
{
    (void)setrlimit(RLIMIT_FSIZE, &g_fsize_was);
}

struct file_size_limit {
    explicit file_size_limit(rlim_t max, bool once)
    {
        (void)signal(SIGXFSZ, once ? fsize_lift : SIG_IGN);
        (void)getrlimit(RLIMIT_FSIZE, &g_fsize_was);
        const struct rlimit small = {max, g_fsize_was.rlim_max};
        EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    }
    ~file_size_limit()
    {
        (void)setrlimit(RLIMIT_FSIZE, &g_fsize_was);
        (void)signal(SIGXFSZ, SIG_IGN);
    }
};

// A folder to unpack into that takes no more: the sound bundle is not
// shown in part, and nothing is left there.
TEST(BundleRead, AFullFolderFailsTheReading)
{
    const std::string dir = fresh_dir();
    const std::string bundle = dir + "b.tar.gz";
    gzip_to(bundle, tar_of({{"manifest.json", manifest_of({NOISE})}, NOISE}), 0);
    const std::string tmp = dir + "tmp";
    ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
    ASSERT_EQ(setenv("TMPDIR", tmp.c_str(), 1), 0);
    g_oamlog_status = OAMLOG_OK;
    std::string root;
    int opened = 0;
    {
        const file_size_limit limit(4096, false);
        opened = oamlog_bundle_open(bundle, &root);
    }
    (void)unsetenv("TMPDIR");
    EXPECT_EQ(opened, -1);
    EXPECT_EQ(g_oamlog_status, OAMLOG_FAILED);
    g_oamlog_status = OAMLOG_OK;
    EXPECT_EQ(rmdir(tmp.c_str()), 0) << "the unpacked folder is removed";
}

// A text file named as a bundle is taken for one, and fails as none.
TEST(BundleRead, ATextFileNamedAsABundleFails)
{
    const std::string path = fresh_dir() + "notes.tar.gz";
    put(path, "not a bundle\n");
    ASSERT_TRUE(oamlog_is_bundle(path));
    g_oamlog_status = OAMLOG_OK;
    std::string root;
    EXPECT_EQ(oamlog_bundle_open(path, &root), -1);
    EXPECT_EQ(g_oamlog_status, OAMLOG_FAILED);
    g_oamlog_status = OAMLOG_OK;
}

// Stopped while writing, oamlog takes its half-written file with it.
TEST(BundleWrite, ASignalTakesTheHalfWrittenFileAway)
{
    const std::string dir = fresh_dir();
    ASSERT_EQ(mkdir((dir + "wifi_log").c_str(), 0700), 0);
    put(dir + "wifi_log/wifi_log_1", RECORD);
    // A link among the log files is said to be left out, on a standard
    // error that takes nothing more: the writer stops there, mid-bundle.
    ASSERT_EQ(symlink("/etc/passwd", (dir + "wifi_log/wifi_log_2").c_str()), 0);
    int err[2];
    ASSERT_EQ(pipe2(err, O_NONBLOCK), 0);
    while (write(err[1], "full", 4) == 4) {
    }
    const std::string out = dir + "b.tar.gz";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        (void)dup2(err[1], STDERR_FILENO);
        (void)fcntl(STDERR_FILENO, F_SETFL, 0);
        (void)setvbuf(stderr, nullptr, _IONBF, 0);
        const oamlog_bundle_opts opts{"t", out, dir, {}, "", 0, UINT64_MAX, 0};
        _exit(oamlog_bundle_write(opts));
    }
    const std::string part = out + ".part" + std::to_string(child);
    struct stat st {};
    // It blocks for good once the file is there: waiting for it is no guess.
    while (lstat(part.c_str(), &st) != 0) {
        ASSERT_EQ(waitpid(child, nullptr, WNOHANG), 0) << "the writer ended";
        (void)usleep(1000);
    }
    ASSERT_EQ(kill(child, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    (void)close(err[0]);
    (void)close(err[1]);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_NE(lstat(part.c_str(), &st), 0);
    EXPECT_NE(lstat(out.c_str(), &st), 0);
}

// A power cut leaves the part file of a writer that is gone: the next
// writing of that bundle removes it, and nothing else.
TEST(BundleWrite, APartFileOfAWriterGoneIsRemovedAndNothingElse)
{
    const std::string dir = fresh_dir();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        _exit(0);
    }
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    const std::string gone = std::to_string(child);
    const std::string out = dir + "b.tar.gz";
    put(dir + "target", "kept");
    const struct {
        std::string name;
        char kind;  // f file, l link, d folder
        bool removed;
    } rows[] = {
        {"b.tar.gz.part" + gone, 'f', true},
        {"b.tar.gz.part" + gone + ".body", 'f', true},
        {"b.tar.gz.part" + std::to_string(getppid()), 'f', false},  // running
        {"b.tar.gz.part" + std::to_string(getpid()), 'f', true},  // the writer's own name, of a boot before
        {"b.tar.gz.part0" + gone, 'f', false},
        {"b.tar.gz.part" + gone + "x", 'f', false},
        {"c.tar.gz.part" + gone, 'f', false},
        {"b.tar.gz.part" + std::to_string(child + 1000000000), 'f', false},
        {"b.tar.gz.part" + gone + "1", 'l', false},
        {"b.tar.gz.part" + gone + "2", 'd', false},
    };
    for (const auto &r : rows) {
        const std::string path = dir + r.name;
        ASSERT_EQ(r.kind == 'f' ? (put(path, "half"), 0)
                  : r.kind == 'l' ? symlink((dir + "target").c_str(), path.c_str())
                                  : mkdir(path.c_str(), 0700),
                  0);
    }
    const oamlog_bundle_opts opts{"t", out, dir, {}, "", 0, UINT64_MAX, 0};
    ASSERT_EQ(oamlog_bundle_write(opts), OAMLOG_OK);
    for (const auto &r : rows) {
        struct stat st {};
        EXPECT_EQ(lstat((dir + r.name).c_str(), &st) != 0, r.removed) << r.name;
    }
    EXPECT_EQ(slurp(dir + "target"), "kept");
}

// A write of the bundle that fails once, in the midst of a large manifest
// (a journal of many boots, read before the window): the stream's close
// must not compress from buffers gone, and no half bundle is left.
TEST(BundleWrite, AWriteThatFailsOnceFailsTheBundle)
{
    const std::string dir = fresh_dir();
    std::string journal;
    uint32_t seed = 1;
    for (int i = 0; i < 1400; ++i) {
        std::string boot(200, '0');
        for (char &c : boot) {
            seed = seed * 1103515245U + 12345U;
            c = "0123456789abcdef"[seed >> 28];
        }
        journal += "2026-12-09 09:00:00.000 oam start version 1, mode test, chip zr4001, pid 7, boot " + boot + "\n";
    }
    put(dir + "oam_events", journal);
    const std::string out = dir + "b.tar.gz";
    oamlog_bundle_opts opts{"t", out, dir, {}, "", 0, UINT64_MAX, 0};
    ASSERT_EQ(oamlog_parse_time("2026-12-09T10:00", false, &opts.since), 0);
    g_oamlog_status = OAMLOG_OK;
    int written = 0;
    {
        const file_size_limit limit(4096, true);  // above the members, below the manifest packed
        written = oamlog_bundle_write(opts);
    }
    EXPECT_EQ(written, OAMLOG_FAILED);
    g_oamlog_status = OAMLOG_OK;
    struct stat st {};
    EXPECT_NE(lstat(out.c_str(), &st), 0);
    EXPECT_NE(lstat((out + ".part" + std::to_string(getpid())).c_str(), &st), 0);
}

}  // namespace
