#include "core/oam_lifecycle.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "channels/netlink.h"
#include "channels/vtl_server.h"
#include "config/ini.h"
#include "logcapture/log_budget.h"
#include "logcapture/log_param.h"
#include "common/oam_journal.h"
#include "common/oam_global.h"
#include "common/oam_print_levels.h"
#include "core/oam_clock.h"
#include "core/oam_service.h"
#include "core/oam_thread.h"
#include "logcapture/log_store.h"
#include "logcapture/receivers.h"
#include "memdump/memdump.h"
#include "platform/oam_chip.h"
#include "platform/oam_dfr.h"
#include "core/oam_dfr_set.h"
#include "common/oam_driver.h"
#include "support/bounded.h"

namespace {

constexpr mode_t OAM_RUN_UMASK = 003;
constexpr char OAM_JOURNAL_NAME[] = "oam_events";
// Seconds from the first write after a sync to the next sync of the log
// files to storage: what a power cut may lose.  0 leaves it to the kernel's
// own write-back (and to the syncs at a dump and at the stop).  The default
// is the measured knee of the write cost (see README): shorter intervals
// rewrite partly filled pages and journal blocks ever more often at low log
// rates.
constexpr char OAM_SYNC_INTERVAL_VAR[] = "log_sync_interval";
constexpr int32_t OAM_SYNC_INTERVAL_MAX = 86400;
constexpr int32_t OAM_SYNC_INTERVAL_DEFAULT = 2;

// SIGTERM is taken with sigwait by a thread of its own rather than by a
// handler: the stop sequence then runs in normal context, whatever the other
// threads were doing when it came (printing, holding a lock, blocked in a
// receive).  Every other thread keeps it blocked, so the kernel leaves it to
// that thread.  A handler, by contrast, may land on a thread sitting in a
// restarted receive, and a runtime that defers handlers to the end of such a
// call (ThreadSanitizer does) would hold the stop back until the next message
// of that core, or the next tool frame, arrived.
sigset_t g_sigterm_set;

// Runs before the INI module's constructor (default priority): the daemon
// may be started with descriptors 0-2 closed, and a socket or node that got
// descriptor 0 would count as never opened.  Standard output is made line
// buffered here, before anything is printed, so that a service manager sees
// each line as it is written.
__attribute__((constructor(101))) void oam_early_init()
{
    for (;;) {
        int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            break;
        }
        if (fd > STDERR_FILENO) {
            close(fd);
            break;
        }
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    oam_print_hold();
}

// The watch of clock steps, read by the SIGTERM thread (-1: none).
int g_clock_fd = -1;

// The SIGTERM thread sleeps anyway: it also notices a step of the wall
// clock, so that watching it costs no wake-up while nothing happens.
void *oam_sigterm_pthread(void *)
{
    const int sig_fd = g_clock_fd >= 0 ? signalfd(-1, &g_sigterm_set, SFD_CLOEXEC | SFD_NONBLOCK) : -1;
    if (sig_fd >= 0) {
        pollfd fds[2] = {{sig_fd, POLLIN, 0}, {g_clock_fd, POLLIN, 0}};
        for (;;) {
            const int ready = poll(fds, 2, -1);
            if (ready < 0 && errno != EINTR) {
                break;
            }
            if (ready <= 0) {
                continue;
            }
            if (fds[1].revents != 0 && oam_clock_watch_read(g_clock_fd) != 0) {
                fds[1].fd = -1;
            }
            signalfd_siginfo info {};
            if ((fds[0].revents & POLLIN) != 0 && read(sig_fd, &info, sizeof(info)) == sizeof(info)) {
                exit_main(static_cast<int>(info.ssi_signo));
            }
        }
        // A poll that fails for good leaves the stop to sigwait.
    }
    int sig = 0;
    if (sigwait(&g_sigterm_set, &sig) == 0) {
        exit_main(sig);
    }
    return nullptr;
}

// Sleeps until the first write after a sync, so that an idle daemon is
// never woken; a record is then on storage at most one interval after it
// was written.  Not started when the INI turns the sync off.
void *oam_sync_pthread(void *arg)
{
    const auto interval = static_cast<unsigned>(reinterpret_cast<intptr_t>(arg));
    for (;;) {
        oam_sync_wait_armed();
        unsigned left = interval;
        while (left > 0) {
            left = sleep(left);
        }
        oam_sync_armed_logs();
    }
}

// A value out of range falls back to the default, as every other key does;
// only an explicit 0 turns the sync off.
int32_t oam_sync_interval()
{
    int32_t seconds = OAM_SYNC_INTERVAL_DEFAULT;
    if (get_cust_conf_int32(INI_TAG_HOST_PLAT, OAM_SYNC_INTERVAL_VAR, &seconds) != 0 || seconds < 0 ||
        seconds > OAM_SYNC_INTERVAL_MAX) {
        seconds = OAM_SYNC_INTERVAL_DEFAULT;
    }
    return seconds;
}

const char *oam_chip_name()
{
    const int32_t id = oam_get_sub_chip_type();
    for (const oam_chip_info &chip : g_chip_table) {
        if (chip.id == id) {
            return chip.name;
        }
    }
    return "unknown";
}

void oam_journal_capture(const char *event)
{
    const bool running[] = {g_st_global.netlink_sock > 0 && g_wifi_recv_thread != 0,
                            g_st_global.bfg_fd > 0 && g_bfg_recv_thread != 0,
                            g_st_global.me_fd > 0 && g_me_recv_thread != 0};
    const oam_log_desc *logs[] = {&g_st_global.st_wifi_log, &g_st_global.st_bfg_log, &g_st_global.st_me_log};
    for (int i = 0; i < 3; ++i) {
        if (running[i]) {
            oam_journal_event(static_cast<oam_jcore>(OAM_J_WIFI + i), event, "%s",
                              logs[i]->log_switch.value == 1 ? logs[i]->file_path : "storing off");
        }
    }
}

// Right behind the start line: the run before never journalled its stop.
// Its losses found at start-up follow.
void oam_journal_unclean_end(const oam_last_run &run)
{
    if (!run.unclean) {
        return;
    }
    char pid[24] = "unknown";
    if (run.pid > 0) {
        (void)snprintf(pid, sizeof(pid), "%ld", run.pid);
    }
    oam_journal_event(OAM_J_OAM, "unclean-end",
                      "pid %s, started %s, %s%s%slast line %s, records after its last sync may be missing", pid,
                      run.started, run.boot[0] != '\0' ? "boot " : "", run.boot, run.boot[0] != '\0' ? ", " : "",
                      run.last_line);
}

// What every stop does once the receivers are stopped: the losses still
// held are written, and the logs put on storage before the process ends.
void oam_journal_stop()
{
    oam_compress_stop();
    oam_journal_capture("capture-stopped");
    memdump_journal_abandoned();
    oam_journal_flush(true);
    oam_journal_event(OAM_J_OAM, "stop", "%s", "");
    oam_sync_logs();
}

void oam_close_if_open(int32_t fd)
{
    if (fd > 0) {
        close(fd);
    }
}

// Held by the main thread while it starts the daemon up and from the start
// of the orderly stop on, and by the SIGTERM stop for good: the SIGTERM stop
// thus sees everything start-up wrote, waits for a start-up under way to
// finish, and never runs beside the orderly stop or a failed start (each of
// which ends the process itself while holding it).
pthread_mutex_t g_run_state_mutex = PTHREAD_MUTEX_INITIALIZER;

}  // namespace

int main_init()
{
    // Blocked before the stop thread starts, which inherits the block as
    // every later thread does.
    sigemptyset(&g_sigterm_set);
    sigaddset(&g_sigterm_set, SIGTERM);
    g_clock_fd = oam_clock_watch_open();
    if (pthread_sigmask(SIG_BLOCK, &g_sigterm_set, nullptr) == 0) {
        pthread_t sigterm_thread;
        if (pthread_create(&sigterm_thread, nullptr, oam_sigterm_pthread, nullptr) != 0) {
            // Nobody would take it: leave SIGTERM its default action.
            pthread_sigmask(SIG_UNBLOCK, &g_sigterm_set, nullptr);
        }
    }
    signal(SIGPIPE, SIG_IGN);
    oam_thread_wake_init();

    umask(0);
    int ret = oam_log_dir_init();
    umask(OAM_RUN_UMASK);
    if (ret != 0) {
        OAM_ERR("[%s:%d]Failed to init log system error:%d\n", ret);
    }
    char journal[OAM_FILE_PATH_LEN];
    if (snprintf(journal, sizeof(journal), "%s%s", OAM_LOG_ROOT_DIR, OAM_JOURNAL_NAME) > 0) {
        // What a cut left at its end goes first, so that the run before is
        // judged by the lines it really wrote, and the log files' repair
        // (at their set-up) knows whether it ended uncleanly.
        const bool tail_cut = oam_journal_repair(journal) > 0;
        (void)oam_journal_last_run(journal, tail_cut, &g_last_run);
        if (oam_journal_open(journal, OAM_JOURNAL_MAX_BYTES) != 0) {
            OAM_ERR("[%s:%d]events journal %s not opened\n", journal);
        }
    }
    return ret;
}

int oam_malloc_mem()
{
    // In this order; a failure gives back what this call obtained.
    struct oam_work_buf {
        uint8_t *oam_global_stru::*field;
        const char *fail_fmt;
    };
    static constexpr oam_work_buf bufs[] = {
        {&oam_global_stru::puc_buf, "[%s:%d]malloc g_st_global.puc_buf failed.len[%d]\n\n"},
        {&oam_global_stru::bfg_puc_buf, "[%s:%d]malloc g_st_global.bfg_puc_buf failed.len[%d]\n\n"},
        {&oam_global_stru::uc_buf, "[%s:%d]malloc g_st_global.uc_buf failed.len[%d]\n\n"},
        {&oam_global_stru::me_puc_buf, "[%s:%d]malloc g_st_global.me_puc_buf failed.len[%d]\n\n"},
    };
    for (const oam_work_buf &buf : bufs) {
        g_st_global.*buf.field = static_cast<uint8_t *>(malloc(OAM_BUF_LEN));
        if (g_st_global.*buf.field == nullptr) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
            oam_printf(OAM_LEVEL_ERR, buf.fail_fmt, __func__, __LINE__, OAM_BUF_LEN);
#pragma GCC diagnostic pop
            oam_free_mem();
            return -1;
        }
    }
    return 0;
}

void oam_free_mem()
{
    for (uint8_t **buf : {&g_st_global.uc_buf, &g_st_global.bfg_puc_buf, &g_st_global.puc_buf,
                          &g_st_global.me_puc_buf}) {
        free(*buf);
        *buf = nullptr;
    }
}

void oam_wifi_create_thread()
{
    g_st_global.netlink_sock = oam_netlink_create();
    if (g_st_global.netlink_sock < 0) {
        OAM_ERR("[%s:%d]netlink create failed\n\n");
    } else {
        (void)oam_pthread_create(&g_wifi_recv_thread);
    }
    oam_flag_store(g_st_global.wifi_thread_stop, 0);
}

// The dump threads of the bfg side (with the Wi-Fi one) and of the me
// side start with their core's log node, as the platform brings them up
// together.
void oam_memdump_create_threads()
{
    if (g_st_global.bfg_fd >= 0) {
        int ret = pthread_create(&g_bfgx_memdump_thread, nullptr, memdump_bfgx_rotate_pthread, nullptr);
        if (ret != 0) {
            OAM_ERR("[%s:%d]rotate thread create error,error:%d\n\n", ret);
            g_bfgx_memdump_thread = 0;
        }
        ret = pthread_create(&g_wifi_memdump_thread, nullptr, memdump_wifi_rotate_pthread, nullptr);
        if (ret != 0) {
            OAM_ERR("[%s:%d]rotate thread create error,error:%d\n\n", ret);
            g_wifi_memdump_thread = 0;
        }
    }
    if (g_st_global.me_fd > 0) {
        const int ret = pthread_create(&g_me_memdump_thread, nullptr, memdump_me_rotate_pthread, nullptr);
        if (ret != 0) {
            OAM_ERR("[%s:%d]me rotate thread create error,error:%d\n\n", ret);
            g_me_memdump_thread = 0;
        }
    }
}

void oam_4060_memdump_create_thread()
{
    if (oam_get_sub_chip_type() != CHIP_ZR4060) {
        OAM_INFO("[%s:%d]zr400x ignore thread create\n\n");
        return;
    }
    int ret = pthread_create(&g_4060_memdump_thread, nullptr, memdump_wifi_rotate_pthread, nullptr);
    if (ret != 0) {
        OAM_ERR("[%s:%d]zr4060 rotate thread create error,error:%d\n\n", ret);
    }
}

void main_exit()
{
    // Kept until the exit: a SIGTERM from here on waits for it.
    pthread_mutex_lock(&g_run_state_mutex);
    oam_notify_stopping();
    OAM_INFO("[%s:%d]enter oam vexa main() exit!\n\n");
    oam_close_if_open(g_st_global.vtl_server_sock);
    bool wifi_left = g_st_global.netlink_sock > 0 && oam_pthread_close(g_wifi_recv_thread) != 0;
    bool bfg_left = g_st_global.bfg_fd > 0 && oam_bfg_pthread_close(g_bfg_recv_thread) != 0;
    bool me_left = g_st_global.me_fd > 0 && oam_me_pthread_close(g_me_recv_thread) != 0;
    // With every receiver joined, and the tool loop over, nobody else takes
    // these locks or uses these buffers any more.  A receiver left behind
    // may still be in its mirror send or filling its record: the locks, the
    // buffers and its descriptor then go with the exit, a moment later.
    bool all_ended = !wifi_left && !bfg_left && !me_left;
    if (all_ended) {
        pthread_mutex_destroy(&g_st_global.vtl_sock_mutex);
        pthread_mutex_destroy(&g_st_global.vtl_send_mutex);
    }
    if (g_st_global.nlh != nullptr) {
        free(g_st_global.nlh);
        g_st_global.nlh = nullptr;
    }
    oam_journal_stop();
    if (all_ended) {
        oam_free_mem();
    }
    if (!wifi_left) {
        oam_close_if_open(g_st_global.netlink_sock);
    }
    if (!bfg_left) {
        oam_close_if_open(g_st_global.bfg_fd);
    }
    if (!me_left) {
        oam_close_if_open(g_st_global.me_fd);
    }
    OAM_INFO("[%s:%d]oam vexa main() closed over!\n\n");
}

// The SIGTERM stop, run on the daemon's own signal thread.  Closing a node
// or socket while its receiver is still reading it would let the receiver
// spin on a dead descriptor, or read from whatever file reuses the number,
// until the process is gone; so the receivers are woken and joined first
// (each ends within one pass, or is left with its descriptor to the exit
// after the stop's bound).  The dump threads run on until the exit, and
// the main thread may still be in the tool loop: the locks and work buffers
// are therefore neither destroyed nor freed here, the exit reclaims them.
void exit_main(int sig)
{
    (void)sig;
    pthread_mutex_lock(&g_run_state_mutex);
    oam_notify_stopping();
    OAM_INFO("[%s:%d]main closed!\n\n");
    bool wifi_left = g_st_global.netlink_sock > 0 &&
                     oam_quiet_stop(g_st_global.wifi_thread_stop, g_wifi_recv_thread, "wifi") != 0;
    bool bfg_left = g_st_global.bfg_fd > 0 &&
                    oam_quiet_stop(g_st_global.bfg_thread_stop, g_bfg_recv_thread, "bfg") != 0;
    bool me_left = g_st_global.me_fd > 0 && oam_quiet_stop(g_st_global.me_thread_stop, g_me_recv_thread, "me") != 0;
    // The main thread may be blocked receiving on the tool connection: end
    // the connection for the tool at once, and leave the descriptor itself
    // to the exit rather than pull it from under that receive.  With the
    // receivers gone only the main thread takes the client lock, and holds
    // it exactly while no connection is open (accepting) or one is being
    // closed: there is nothing to end then.  A receiver left behind may
    // hold it for its mirror send, hence only a try.
    if (pthread_mutex_trylock(&g_st_global.vtl_sock_mutex) == 0) {
        if (g_st_global.vtl_client_sock > 0) {
            shutdown(g_st_global.vtl_client_sock, SHUT_RDWR);
        }
        pthread_mutex_unlock(&g_st_global.vtl_sock_mutex);
    }
    // Nothing reads these any more.  In test mode, though, the main thread
    // may be routing a tool frame to the netlink channel or the bfg node at
    // this very moment: those two are left to the exit, a moment later,
    // rather than closed under it (the number could even go to a file
    // opened meanwhile, and the frame with it).
    if (g_test_mode != 1) {
        if (!wifi_left) {
            oam_close_if_open(g_st_global.netlink_sock);
        }
        if (!bfg_left) {
            oam_close_if_open(g_st_global.bfg_fd);
        }
    }
    if (!me_left) {
        oam_close_if_open(g_st_global.me_fd);
    }
    oam_journal_stop();
    OAM_INFO("[%s:%d]main closed finished!\n\n");
    exit(0);
}

// A start that fails returns with the run-state lock still held, so that a
// SIGTERM cannot run its stop beside the exit that follows.
int oam_main(int argc, char **argv)
{
    pthread_mutex_lock(&g_run_state_mutex);
    if (argv == nullptr) {
        OAM_ERR("[%s:%d]param is null!!!\n");
        return -1;
    }
    // These ends skip the exit handlers too, which would print.
    const int cmd_status = oam_command_line(argc, argv, OAM_VERSION);
    if (cmd_status != OAM_RUN) {
        fflush(stdout);
        _exit(cmd_status);
    }
    // Before anything is opened or written: a second daemon changes nothing.
    int locked = oam_instance_lock(true);
    if (locked == OAM_LOCK_NO_FOLDER) {
        umask(0);
        (void)oam_log_dir_init();
        umask(OAM_RUN_UMASK);
        locked = oam_instance_lock(false);
    }
    if (locked != 0) {
        _exit(1);
    }
    oam_print_release(true);
    oam_notify_init();
    (void)main_init();

    if (argc > 1 && argv[1] != nullptr) {
        if (strcmp(argv[1], "wvt") == 0) {
            g_wvt_mode = 1;
        } else if (strcmp(argv[1], "test") == 0) {
            g_test_mode = 1;
        } else {
            OAM_WARN("[%s:%d]first argument is neither test nor wvt: taken as normal mode\n");
        }
    }

    // The record is zero from the load already; a failed clear is only reported.
    int clear_ret = memset_s(&g_st_global, sizeof(g_st_global), 0, sizeof(g_st_global));
    if (clear_ret != EOK) {
        OAM_ERR("[%s:%d]memset_s failed ret=%d\n", clear_ret);
    }
    pthread_mutex_init(&g_st_global.vtl_sock_mutex, nullptr);
    pthread_mutex_init(&g_st_global.vtl_send_mutex, nullptr);

    if (oam_malloc_mem() != 0) {
        return -1;
    }
    if (oam_log_param_init() < 0) {
        oam_free_mem();
        return -1;
    }
    // Before any capture starts, and before the losses start-up found (a
    // record cut by the last stop), which are held until now.
    char boot[96];
    (void)oam_boot_text(boot, sizeof(boot));
    oam_journal_event(OAM_J_OAM, "start", "version %s, mode %s, chip %s, pid %ld, %s", OAM_VERSION,
                      g_wvt_mode != 0 ? "wvt" : (g_test_mode == 1 ? "test" : "normal"), oam_chip_name(),
                      static_cast<long>(getpid()), boot);
    oam_journal_unclean_end(g_last_run);
    oam_journal_flush();
    oam_journal_datasync();
    int ret = oam_vtl_socket_create();
    if (ret < 0) {
        oam_free_mem();
        return ret;
    }
    oam_wifi_create_thread();
    oam_bfgx_create_thread();
    oam_me_create_thread();
    memdump_context_init();
    oam_memdump_create_threads();
    oam_4060_memdump_create_thread();
    const int32_t sync_interval = oam_sync_interval();
    pthread_t sync_thread;
    if (sync_interval > 0 &&
        pthread_create(&sync_thread, nullptr, oam_sync_pthread,
                       reinterpret_cast<void *>(static_cast<intptr_t>(sync_interval))) == 0) {
        (void)pthread_detach(sync_thread);
        OAM_INFO("[%s:%d]log files synced every %d s\n", sync_interval);
    }
    oam_compress_start();
    oam_journal_capture("capture-started");
    (void)bfgx_cali_init();
    (void)ini_plat_dfr_set();

    oam_notify_ready();
    pthread_mutex_unlock(&g_run_state_mutex);
    oam_vtl_socket_loop();

    main_exit();
    exit(0);
}
