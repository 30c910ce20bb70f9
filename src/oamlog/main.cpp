// oamlog: reads the daemon's log files, in time order, across rotated files
// and cores; follows them as they grow; tells whether they are damaged.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <getopt.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/oam_driver.h"
#include "common/oam_print_levels.h"
#include "oamlog/bundle_write.h"
#include "oamlog/read_bundle.h"
#include "oamlog/read_dump.h"
#include "oamlog/read_source.h"
#include "oamlog/reader_status.h"
#include "oamlog/timeline.h"
#include "oamlog/view_cursor.h"
#include "oamlog/view_grep.h"
#include "oamlog/view_pager.h"
#include "oamlog/view_print.h"
#include "oamlog/view_stream.h"
#include "oamlog/view_tables.h"

namespace {

constexpr const char *OAMLOG_USAGE =
    "usage: oamlog [options] [FOLDER | FILE | BUNDLE]...\n"
    "Prints the log records the oam daemon stored and the events of its journal\n"
    "on one time line, oldest first, all cores interleaved.\n"
    "Without FOLDER or FILE it reads every core below the log root; a BUNDLE\n"
    "(of --bundle) is read like the log root.  On a terminal the output goes\n"
    "through $OAMLOG_PAGER, else $PAGER, else less (LESS defaults to FRSXK).\n"
    "\n"
    "  --root DIR        log root (default /vendor/log)\n"
    "  --core CORE       only this core: wifi, bfg or me (repeatable); the core\n"
    "                    of the FILEs given by name\n"
    "  --since TIME      only records stamped at or after TIME\n"
    "  --until TIME      only records stamped up to TIME\n"
    "                    TIME: YYYY-MM-DD[THH:MM[:SS[.mmm]]] or HH:MM[:SS[.mmm]]\n"
    "                    (today), local unless Z or +HH:MM follows; with a\n"
    "                    space for the T, quote it; or now, today, yesterday,\n"
    "                    tomorrow, @EPOCH, -10m, \"2 hours ago\"\n"
    "  --boot ID         only the boot of that id, or 0 (the last), -1 ...\n"
    "  --list-boots      the boots in the journal: id, first and last time\n"
    "  --utc             show times in UTC\n"
    "  --per-core        core after core, each with its events, then the daemon's\n"
    "  --merge           one time line: the default, but for --raw\n"
    "  -n N              only the last N records (of all cores; of each with\n"
    "                    --per-core)\n"
    "  -f, --follow      keep reading as the daemon appends, across rotations\n"
    "  --cursor-file FILE  start after the entries the cursor in FILE names, and\n"
    "                    keep there the cursor of the last entry written\n"
    "  --after-cursor C  start after the entries cursor C names\n"
    "  --show-cursor     end with the cursor of the last entries written\n"
    "  --hex             add a hex dump of the data under each record\n"
    "  --raw             the data bytes only, as the debug tool received them,\n"
    "                    core after core: the bytes of cores mixed tell nothing\n"
    "  --json            one JSON object per record\n"
    "  --no-pager        write to the terminal directly\n"
    "  --check           report every damaged spot and the journal's losses;\n"
    "                    status 1 if damaged; with --json, each as an object\n"
    "  --stats           a table per core: files, records, bytes, first and last\n"
    "                    stamp, peak records/s, lost records and overruns, damage\n"
    "  --dumps           one line per dump under the memdump folder, with the\n"
    "                    index --dump takes (-1 the latest)\n"
    "  --disk-usage      what the logs, dumps and journal take, the free space\n"
    "                    and the budget the INI files set\n"
    "  --dump[=ARCHIVE]  the records and events of every core before that dump;\n"
    "                    ARCHIVE: a name, last, an index of --dumps (-1, -2 ...\n"
    "                    back from the latest; 0, 1 ... from the oldest), or a\n"
    "                    type or part of one (wifi, bfg, me, readm_wifi_uart:\n"
    "                    its latest); alone, the latest dump (within --since\n"
    "                    and --until); --dump WORD takes WORD unless a file of\n"
    "                    that name is there\n"
    "  --before SECONDS  how far before the dump --dump starts (default 30)\n"
    "  --bundle OUT      write the records, events, dump archives and settings of\n"
    "                    the window (--dump, or --since and --until) into the\n"
    "                    new file OUT (.tar.gz) to hand over\n"
    "  --max-size MIB    keep the bundle within MIB MiB, leaving out the oldest\n"
    "                    records first\n"
    "  -g, --grep PATTERN  only the records and events whose text matches PATTERN\n"
    "                    (extended regular expression; the hex of a binary\n"
    "                    record), case-blind when PATTERN has no capital\n"
    "  --case-sensitive[=yes|no]  whether -g tells capitals from small letters\n"
    "  --version         the version of oamlog\n"
    "  -h, --help        this text\n"
    "\n"
    "Damaged spots are reported on standard error and skipped. Status: 0 read,\n"
    "1 damage found by --check or in a bundle, 2 a bad option or an unreadable\n"
    "input.\n";

enum oamlog_opt_id { OPT_ROOT = 256, OPT_CORE, OPT_SINCE, OPT_UNTIL, OPT_MERGE, OPT_HEX, OPT_RAW, OPT_JSON,
                     OPT_FULL, OPT_CHECK, OPT_STATS, OPT_DUMPS, OPT_DUMP, OPT_BEFORE, OPT_VERSION, OPT_UTC,
                     OPT_LIST_BOOTS, OPT_BOOT, OPT_BUNDLE, OPT_MAX_SIZE,
                     OPT_DISK_USAGE, OPT_PER_CORE, OPT_NO_PAGER,
                     OPT_CASE_SENSITIVE, OPT_CURSOR_FILE, OPT_AFTER_CURSOR, OPT_SHOW_CURSOR };

constexpr option OAMLOG_OPTIONS[] = {
    {"root", required_argument, nullptr, OPT_ROOT},   {"core", required_argument, nullptr, OPT_CORE},
    {"since", required_argument, nullptr, OPT_SINCE}, {"until", required_argument, nullptr, OPT_UNTIL},
    {"merge", no_argument, nullptr, OPT_MERGE},       {"hex", no_argument, nullptr, OPT_HEX},
    {"raw", no_argument, nullptr, OPT_RAW},           {"json", no_argument, nullptr, OPT_JSON},
    {"full", no_argument, nullptr, OPT_FULL},         {"check", no_argument, nullptr, OPT_CHECK},
    {"stats", no_argument, nullptr, OPT_STATS},       {"dumps", no_argument, nullptr, OPT_DUMPS},
    {"dump", optional_argument, nullptr, OPT_DUMP},   {"before", required_argument, nullptr, OPT_BEFORE},
    {"follow", no_argument, nullptr, 'f'},            {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, OPT_VERSION},   {"utc", no_argument, nullptr, OPT_UTC},
    {"list-boots", no_argument, nullptr, OPT_LIST_BOOTS}, {"boot", required_argument, nullptr, OPT_BOOT},
    {"bundle", required_argument, nullptr, OPT_BUNDLE}, {"max-size", required_argument, nullptr, OPT_MAX_SIZE},
    {"disk-usage", no_argument, nullptr, OPT_DISK_USAGE},
    {"per-core", no_argument, nullptr, OPT_PER_CORE}, {"no-pager", no_argument, nullptr, OPT_NO_PAGER},
    {"grep", required_argument, nullptr, 'g'},       {"case-sensitive", optional_argument, nullptr, OPT_CASE_SENSITIVE},
    {"cursor-file", required_argument, nullptr, OPT_CURSOR_FILE},
    {"after-cursor", required_argument, nullptr, OPT_AFTER_CURSOR},
    {"show-cursor", no_argument, nullptr, OPT_SHOW_CURSOR},
    {nullptr, 0, nullptr, 0},
};

struct oamlog_opts {
    std::string root = OAM_LOG_ROOT_DIR;
    std::vector<std::string> cores;
    std::vector<std::string> paths;
    uint64_t since = 0;
    uint64_t until = UINT64_MAX;
    bool merge = false;     // decided after the options: the time line
    bool per_core = false;  // unless core after core is asked for
    long last = -1;  // -n
    bool follow = false;
    bool no_pager = false;
    oamlog_format format = OAMLOG_TEXT;
    bool stats = false;
    bool dumps = false;
    bool disk_usage = false;
    std::string dump;
    bool dump_given = false;
    long before = 30;
    bool before_given = false;
    bool utc = false;
    bool list_boots = false;
    std::string boot;
    std::string since_text;
    std::string until_text;
    std::string bundle;
    long max_mib = 0;
    const char *grep = nullptr;
    int case_sensitive = -1;  // -1: as the pattern's letters say
    oamlog_cursor_opts cursor;
};

oamlog_opts g_opts;
constexpr size_t OAMLOG_OUT_BLOCK = 1 << 20;

// The daemon's INI lookups (--disk-usage) talk on standard output from
// before main on; none of that is oamlog's output.
__attribute__((constructor(101))) void oamlog_hold_daemon_prints()
{
    oam_print_hold();
}

int oamlog_set_format(oamlog_format format)
{
    // --check --json: each damaged spot as an object.
    if ((g_opts.format == OAMLOG_CHECK && format == OAMLOG_JSON) ||
        (g_opts.format == OAMLOG_JSON && format == OAMLOG_CHECK)) {
        g_opts.format = OAMLOG_CHECK;
        g_oamlog_damage_json = true;
        return 0;
    }
    if (g_opts.format != OAMLOG_TEXT && g_opts.format != format) {
        oamlog_error("--hex, --raw, --json and --check exclude each other, but for --check --json");
        return -1;
    }
    g_opts.format = format;
    return 0;
}

// --case-sensitive[=yes|no]: 1, 0, or -1 for neither.
int oamlog_yes_no(const char *text)
{
    if (text == nullptr) {
        return 1;
    }
    for (const char *yes : {"yes", "y", "true", "on", "1"}) {
        if (strcmp(text, yes) == 0) {
            return 1;
        }
    }
    for (const char *no : {"no", "n", "false", "off", "0"}) {
        if (strcmp(text, no) == 0) {
            return 0;
        }
    }
    return -1;
}

// Whether the word after a bare --dump is its archive rather than an input:
// "last", a number (-1 is no option), an archive's name or path, or a word
// that names no file (a type).  "--dump=WORD" is never in doubt.
bool oamlog_dump_word(const char *word)
{
    char *end = nullptr;
    (void)strtol(word, &end, 10);
    if (strcmp(word, "last") == 0 || (end != word && *end == '\0')) {
        return true;
    }
    struct stat st {};
    return word[0] != '-' && (oamlog_is_dump_archive(word) || stat(word, &st) != 0);
}

int oamlog_parse_args(int argc, char **argv)
{
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":fhn:g:", OAMLOG_OPTIONS, nullptr)) != -1) {
        int ret = 0;
        switch (c) {
        case OPT_ROOT:
            g_opts.root = optarg;
            break;
        case OPT_CORE:
            if (strcmp(optarg, "wifi") != 0 && strcmp(optarg, "bfg") != 0 && strcmp(optarg, "me") != 0) {
                oamlog_error("unknown core '%s' (wifi, bfg or me)", optarg);
                return -1;
            }
            g_opts.cores.emplace_back(optarg);
            break;
        case OPT_SINCE:
        case OPT_UNTIL:
            if (oamlog_parse_time(optarg, c == OPT_UNTIL, c == OPT_SINCE ? &g_opts.since : &g_opts.until) != 0) {
                oamlog_error("bad time '%s' (YYYY-MM-DDTHH:MM:SS.mmm[Z|+HH:MM], HH:MM[:SS[.mmm]], now, yesterday, "
                             "@EPOCH, -10m)",
                             optarg);
                return -1;
            }
            (c == OPT_SINCE ? g_opts.since_text : g_opts.until_text) = optarg;
            break;
        case OPT_UTC:
            g_opts.utc = true;
            break;
        case OPT_LIST_BOOTS:
            g_opts.list_boots = true;
            break;
        case OPT_BOOT:
            g_opts.boot = optarg;
            break;
        case OPT_MERGE:
            g_opts.merge = true;
            break;
        case 'n': {
            char *end = nullptr;
            errno = 0;
            g_opts.last = strtol(optarg, &end, 10);
            if (errno != 0 || end == optarg || *end != '\0' || g_opts.last < 0) {
                oamlog_error("bad count '%s' for -n", optarg);
                return -1;
            }
            break;
        }
        case 'f':
            g_opts.follow = true;
            break;
        case OPT_STATS:
            g_opts.stats = true;
            break;
        case OPT_DUMPS:
            g_opts.dumps = true;
            break;
        case OPT_DISK_USAGE:
            g_opts.disk_usage = true;
            break;
        case OPT_DUMP:
            g_opts.dump_given = true;
            g_opts.dump = optarg != nullptr ? optarg : optind < argc && oamlog_dump_word(argv[optind]) ? argv[optind++] : "";
            break;
        case 'g':
            g_opts.grep = optarg;
            break;
        case OPT_CASE_SENSITIVE:
            if ((g_opts.case_sensitive = oamlog_yes_no(optarg)) < 0) {
                oamlog_error("bad value '%s' for --case-sensitive (yes or no)", optarg);
                return -1;
            }
            break;
        case OPT_BEFORE: {
            char *end = nullptr;
            errno = 0;
            g_opts.before = strtol(optarg, &end, 10);
            if (errno != 0 || end == optarg || *end != '\0' || g_opts.before < 0 || g_opts.before > 86400 * 366) {
                oamlog_error("bad seconds '%s' for --before", optarg);
                return -1;
            }
            g_opts.before_given = true;
            break;
        }
        case OPT_BUNDLE:
            g_opts.bundle = optarg;
            break;
        case OPT_MAX_SIZE: {
            char *end = nullptr;
            errno = 0;
            g_opts.max_mib = strtol(optarg, &end, 10);
            if (errno != 0 || end == optarg || *end != '\0' || g_opts.max_mib < 1 || g_opts.max_mib > 1048576) {
                oamlog_error("bad size '%s' for --max-size (MiB, 1 or more)", optarg);
                return -1;
            }
            break;
        }
        case OPT_CURSOR_FILE:
            g_opts.cursor.file = optarg;
            break;
        case OPT_AFTER_CURSOR:
            g_opts.cursor.after = optarg;
            break;
        case OPT_SHOW_CURSOR:
            g_opts.cursor.show = true;
            break;
        case OPT_FULL:
            break;  // lines are no longer cut to the terminal's width
        case OPT_PER_CORE:
            g_opts.per_core = true;
            break;
        case OPT_NO_PAGER:
            g_opts.no_pager = true;
            break;
        case OPT_HEX:
            ret = oamlog_set_format(OAMLOG_HEX);
            break;
        case OPT_RAW:
            ret = oamlog_set_format(OAMLOG_RAW);
            break;
        case OPT_JSON:
            ret = oamlog_set_format(OAMLOG_JSON);
            break;
        case OPT_CHECK:
            ret = oamlog_set_format(OAMLOG_CHECK);
            break;
        case 'h':
            (void)fputs(OAMLOG_USAGE, stdout);
            exit(OAMLOG_OK);
        case OPT_VERSION:
            (void)printf("oamlog %s\n", OAM_VERSION);
            exit(OAMLOG_OK);
        case ':':
            oamlog_error("option '%s' needs a value", argv[optind - 1]);
            return -1;
        default:
            // An option that takes no value given one ("--hex=1") is known.
            if (optopt != 0 && strncmp(argv[optind - 1], "--", 2) == 0 && strchr(argv[optind - 1], '=') != nullptr) {
                const std::string name(argv[optind - 1], strchr(argv[optind - 1], '='));
                oamlog_error("option '%s' takes no value", name.c_str());
                return -1;
            }
            oamlog_error("unknown option '%s' (oamlog --help lists them)", argv[optind - 1]);
            return -1;
        }
        if (ret != 0) {
            return -1;
        }
    }
    for (int i = optind; i < argc; ++i) {
        g_opts.paths.emplace_back(argv[i]);
    }
    if (g_opts.merge && g_opts.per_core) {
        oamlog_error("--merge and --per-core exclude each other");
        return -1;
    }
    // Bare bytes are of one core each; all else stands on the time line.
    g_opts.merge = g_opts.merge || (!g_opts.per_core && g_opts.format != OAMLOG_RAW);
    if (g_opts.format == OAMLOG_CHECK && g_opts.follow) {
        oamlog_error("--check reads the files once; it does not follow");
        return -1;
    }
    if (g_opts.before_given && !g_opts.dump_given) {
        oamlog_error("--before is the time before the dump of --dump ARCHIVE; there is none");
        return -1;
    }
    if (g_opts.since > g_opts.until) {
        oamlog_error("--since %s is later than --until %s", g_opts.since_text.c_str(), g_opts.until_text.c_str());
        return -1;
    }
    if (g_opts.max_mib > 0 && g_opts.bundle.empty()) {
        oamlog_error("--max-size is the size of the bundle of --bundle OUT; there is none");
        return -1;
    }
    if (!g_opts.bundle.empty() && (g_opts.follow || g_opts.last >= 0 || g_opts.stats || g_opts.dumps ||
                                   g_opts.format != OAMLOG_TEXT || g_opts.paths.size() > 1)) {
        oamlog_error("--bundle writes one file from a log root; -f, -n, --stats, --dumps and the formats do not apply");
        return -1;
    }
    if ((!g_opts.cursor.file.empty() || !g_opts.cursor.after.empty() || g_opts.cursor.show) &&
        (g_opts.format == OAMLOG_CHECK || g_opts.stats || g_opts.dumps || g_opts.disk_usage || g_opts.list_boots ||
         !g_opts.bundle.empty() || g_opts.dump_given)) {
        oamlog_error("a cursor names the records and events written; --check, --stats, --dumps, --disk-usage, "
                     "--list-boots, --bundle and --dump write none");
        return -1;
    }
    if (g_opts.case_sensitive >= 0 && g_opts.grep == nullptr) {
        oamlog_error("--case-sensitive is of the pattern of -g PATTERN; there is none");
        return -1;
    }
    if (g_opts.grep != nullptr && (g_opts.dumps || g_opts.disk_usage || g_opts.list_boots || !g_opts.bundle.empty() ||
                                   g_opts.format == OAMLOG_CHECK)) {
        oamlog_error("-g selects records and events; --dumps, --disk-usage, --list-boots, --check and --bundle take "
                     "them all");
        return -1;
    }
    if (g_opts.grep != nullptr && oamlog_grep_set(g_opts.grep, g_opts.case_sensitive) != 0) {
        return -1;
    }
    // The last N of what: a table is of every record selected.
    if (g_opts.stats && g_opts.last >= 0) {
        oamlog_error("--stats counts every record selected by --since and --until; -n does not apply");
        return -1;
    }
    return 0;
}

// On a terminal, what is printed from here on goes through the pager; not
// what follows the daemon (a pager would hold it back) nor bare bytes.
void oamlog_page()
{
    if (!g_opts.no_pager && !g_opts.follow && g_opts.format != OAMLOG_RAW) {
        oamlog_pager_start();
    }
}

// A bundle given as the input, or as the root, is unpacked and read as the
// log root.
int oamlog_open_bundle()
{
    std::string *input = g_opts.paths.size() == 1 ? &g_opts.paths[0] : g_opts.paths.empty() ? &g_opts.root : nullptr;
    if (input == nullptr || !oamlog_is_bundle(*input)) {
        return 0;
    }
    // A dump archive holds regions, not records: its window is what to show.
    if (!g_opts.paths.empty() && oamlog_is_dump_archive(*input)) {
        oamlog_error("%s is a dump archive: --dump %s shows the logs of its window",
                     oamlog_name_text(input->c_str()).c_str(), oamlog_name_text(input->c_str()).c_str());
        return -1;
    }
    if (g_opts.follow) {
        oamlog_error("%s: a bundle does not grow; -f does not apply", oamlog_name_text(input->c_str()).c_str());
        return -1;
    }
    std::string root;
    if (oamlog_bundle_open(*input, &root) != 0) {
        return -1;
    }
    g_opts.root = root;
    g_opts.paths.clear();
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    // Before any output: records go out in large blocks, not per line; a
    // terminal keeps its lines, so that a damage report stands among them.
    if (isatty(STDOUT_FILENO) == 0) {
        (void)setvbuf(stdout, nullptr, _IOFBF, OAMLOG_OUT_BLOCK);
    }
    if (oamlog_parse_args(argc, argv) != 0 || oamlog_cursor_begin(g_opts.cursor) != 0) {
        return OAMLOG_FAILED;
    }
    if (g_opts.format == OAMLOG_CHECK) {
        g_oamlog_damage_out = stdout;
    }
    if (oamlog_open_bundle() != 0) {
        return OAMLOG_FAILED;
    }
    std::string bundle_context;
    const bool bundle_dump = !g_opts.dump_given && oamlog_bundle_window(&bundle_context, &g_opts.since, &g_opts.until);
    if (g_opts.disk_usage) {
        oamlog_page();
        // A copied log root given as the folder to read.
        return oamlog_disk_usage(stdout, g_opts.paths.size() == 1 ? g_opts.paths[0] : g_opts.root,
                                 g_opts.format == OAMLOG_JSON);
    }
    if (g_opts.dumps) {
        oamlog_page();
        oamlog_journal_load(g_opts.root, {}, 0, UINT64_MAX, false);
        return oamlog_dumps(stdout, g_opts.root, g_opts.format == OAMLOG_JSON);
    }
    if (g_opts.dump_given) {
        oamlog_journal_load(g_opts.root, {}, 0, UINT64_MAX, false);
        if (oamlog_dump_pick(g_opts.root, std::string(g_opts.dump), g_opts.since, g_opts.until, &g_opts.dump) != 0 ||
            oamlog_dump_window(g_opts.dump, g_opts.before, &g_opts.since, &g_opts.until) != 0) {
            return OAMLOG_FAILED;
        }
        g_oamlog_events.clear();
    }
    if (!g_opts.bundle.empty()) {
        const oamlog_bundle_opts bopts{OAM_VERSION, g_opts.bundle,  g_opts.paths.empty() ? g_opts.root : g_opts.paths[0],
                                       g_opts.cores, g_opts.dump,   g_opts.since,
                                       g_opts.until, g_opts.max_mib};
        return oamlog_bundle_write(bopts);
    }
    // A log root given as the folder to read holds its own journal.
    struct stat root_st {};
    const bool one_root = g_opts.paths.size() == 1 && stat(g_opts.paths[0].c_str(), &root_st) == 0 &&
                          S_ISDIR(root_st.st_mode);
    const std::string journal_dir = one_root ? g_opts.paths[0] : g_opts.root;
    if (g_opts.list_boots) {
        oamlog_journal_load(journal_dir, {}, 0, UINT64_MAX, false);
        oamlog_page();
        oamlog_list_boots(stdout, g_opts.format == OAMLOG_JSON, g_opts.utc);
        return g_oamlog_status;
    }
    if (!g_opts.boot.empty()) {
        // Told from the whole journal; then its events are taken anew for that boot alone.
        oamlog_journal_load(journal_dir, {}, 0, UINT64_MAX, false);
        if ((g_oamlog_boot_pick = oamlog_find_boot(g_opts.boot.c_str())) < 0) {
            oamlog_error("no boot '%s' in the journal (oamlog --list-boots lists them)",
                         oamlog_name_text(g_opts.boot.c_str()).c_str());
            return OAMLOG_FAILED;
        }
    }
    oamlog_journal_load(journal_dir, g_opts.cores, g_opts.since, g_opts.until, true);
    std::vector<oamlog_source> sources;
    std::vector<std::string> inputs = g_opts.paths;
    if (inputs.empty()) {
        inputs.push_back(g_opts.root);
    }
    // Files given by name take the one core named: a copy out of me_log
    // is named like the bfg core's files.
    const char *file_core = g_opts.cores.size() == 1 ? g_opts.cores[0].c_str() : nullptr;
    for (const std::string &input : inputs) {
        struct stat st {};
        if (!g_opts.paths.empty() && stat(input.c_str(), &st) != 0) {
            const int err = errno;
            uint64_t key = 0;
            // "--since 2026-12-09 10:00" leaves the clock behind as a file name.
            const bool clock = oamlog_parse_time(input.c_str(), false, &key) == 0;
            oamlog_error("%s: %s%s", oamlog_name_text(input.c_str()).c_str(), strerror(err),
                         clock ? " (a date and time is one word: YYYY-MM-DDTHH:MM:SS)" : "");
            return OAMLOG_FAILED;
        }
        const size_t before = oamlog_file_count(sources);
        const int ret = g_opts.paths.empty() ? oamlog_add_root(&sources, input, g_opts.cores, g_opts.follow)
                                             : oamlog_add_path(&sources, input, g_opts.follow, file_core);
        if (ret != 0) {
            return OAMLOG_FAILED;
        }
        if (oamlog_file_count(sources) == before) {
            (void)fprintf(stderr, "oamlog: no log files under %s\n", oamlog_name_text(input.c_str()).c_str());
        }
    }
    if (!g_opts.cores.empty()) {
        std::erase_if(sources, [](const oamlog_source &src) {
            return std::find(g_opts.cores.begin(), g_opts.cores.end(), src.core) == g_opts.cores.end();
        });
    }
    int watch_fd = -1;
    if (g_opts.follow && (watch_fd = inotify_init1(IN_CLOEXEC)) < 0) {
        oamlog_error("inotify: %s", strerror(errno));
        return OAMLOG_FAILED;
    }
    // The journal is followed where it is; without it, records only.
    if (g_opts.follow) {
        (void)inotify_add_watch(watch_fd, journal_dir.c_str(), IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_MASK_ADD);
    }
    for (oamlog_source &src : sources) {
        if (g_opts.follow && oamlog_watch(watch_fd, &src) != 0) {
            return OAMLOG_FAILED;
        }
        oamlog_open_files(&src);
        src.live = g_opts.follow;
        for (oamlog_file &f : src.files) {
            f.path = oamlog_bundle_shown(f.path);
        }
    }
    oamlog_drop_repeats(&sources);
    if (g_opts.dump_given || bundle_dump) {
        oamlog_context_apply(bundle_dump ? bundle_context : oamlog_context_path(g_opts.root, g_opts.dump), g_opts.cores,
                             &sources, oamlog_journal_add);
    }
    oamlog_page();
    if (g_opts.stats) {
        oamlog_stats(stdout, sources, g_opts.format == OAMLOG_JSON, g_opts.since, g_opts.until);
        return g_oamlog_status;
    }
    const oamlog_stream_opts sopts{{g_opts.format, g_opts.utc}, g_opts.merge, g_opts.follow,
                                   g_opts.last, g_opts.since, g_opts.until};
    const int status = oamlog_stream(sources, sopts, watch_fd);
    oamlog_cursor_end(stdout);
    return status;
}
