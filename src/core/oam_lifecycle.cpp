#include "core/oam_lifecycle.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "channels/netlink.h"
#include "channels/vtl_server.h"
#include "config/log_param.h"
#include "core/oam_global.h"
#include "core/oam_print.h"
#include "core/oam_thread.h"
#include "logcapture/log_store.h"
#include "logcapture/receivers.h"
#include "memdump/memdump.h"
#include "platform/oam_chip.h"
#include "platform/oam_dfr.h"
#include "support/securec.h"

namespace {

constexpr mode_t OAM_RUN_UMASK = 003;

// SIGTERM may arrive on any thread, in the middle of a print or while a
// worker holds a lock.  The handler therefore only writes one byte to this
// pipe; a thread of its own waits on the other end and runs the stop
// sequence in normal context.
int g_sigterm_pipe[2] = {-1, -1};

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
}

void oam_sigterm_notify(int sig)
{
    int saved = errno;
    unsigned char byte = static_cast<unsigned char>(sig);
    ssize_t ret = write(g_sigterm_pipe[1], &byte, 1);
    (void)ret;
    errno = saved;
}

void *oam_sigterm_pthread(void *)
{
    unsigned char byte = 0;
    for (;;) {
        ssize_t ret = read(g_sigterm_pipe[0], &byte, 1);
        if (ret == 1) {
            exit_main(byte);
        }
        if (ret == 0 || (ret < 0 && errno != EINTR)) {
            return nullptr;
        }
    }
}

void oam_close_if_open(int32_t fd)
{
    if (fd > 0) {
        close(fd);
    }
}

// The receivers are stopped by whichever stop path runs first; a SIGTERM
// during the orderly stop must not join them a second time.
int32_t g_receivers_claimed;

bool oam_claim_receivers()
{
    return std::atomic_ref<int32_t>(g_receivers_claimed).exchange(1) == 0;
}

void oam_quiet_stop(int32_t &stop_flag, pthread_t handle)
{
    oam_flag_store(stop_flag, 1);
    if (handle != 0) {
        oam_thread_stop_join(handle);
    }
}

}  // namespace

int main_init()
{
    if (pipe2(g_sigterm_pipe, O_CLOEXEC) == 0) {
        pthread_t sigterm_thread;
        if (pthread_create(&sigterm_thread, nullptr, oam_sigterm_pthread, nullptr) == 0) {
            struct sigaction sa = {};
            sa.sa_handler = oam_sigterm_notify;
            sigemptyset(&sa.sa_mask);
            sa.sa_flags = SA_RESTART;
            sigaction(SIGTERM, &sa, nullptr);
        }
    }
    signal(SIGPIPE, SIG_IGN);
    oam_thread_wake_init();

    umask(0);
    int ret = oam_log_dir_init();
    umask(OAM_RUN_UMASK);
    if (ret != 0) {
        OAM_PRINT("[%s:%d]Failed to init log system error:%d\n", ret);
    }
    return ret;
}

int oam_malloc_mem()
{
    // Order matters for the messages: the first buffer that fails names
    // itself, and every buffer obtained before it is given back.
    struct {
        uint8_t **field;
        const char *fail_fmt;
    } const bufs[] = {
        {&g_st_global.puc_buf, "[%s:%d]malloc g_st_global.puc_buf failed.len[%d]\n\n"},
        {&g_st_global.bfg_puc_buf, "[%s:%d]malloc g_st_global.bfg_puc_buf failed.len[%d]\n\n"},
        {&g_st_global.uc_buf, "[%s:%d]malloc g_st_global.uc_buf failed.len[%d]\n\n"},
        {&g_st_global.me_puc_buf, "[%s:%d]malloc g_st_global.me_puc_buf failed.len[%d]\n\n"},
    };
    for (size_t i = 0; i < sizeof(bufs) / sizeof(bufs[0]); i++) {
        *bufs[i].field = static_cast<uint8_t *>(malloc(OAM_BUF_LEN));
        if (*bufs[i].field == nullptr) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
            oam_printf(bufs[i].fail_fmt, __func__, __LINE__, OAM_BUF_LEN);
#pragma GCC diagnostic pop
            for (size_t j = 0; j < i; j++) {
                free(*bufs[j].field);
                *bufs[j].field = nullptr;
            }
            return -1;
        }
    }
    return 0;
}

void oam_free_mem()
{
    uint8_t **const fields[] = {&g_st_global.uc_buf, &g_st_global.bfg_puc_buf, &g_st_global.puc_buf,
                                &g_st_global.me_puc_buf};
    for (uint8_t **field : fields) {
        if (*field != nullptr) {
            free(*field);
            *field = nullptr;
        }
    }
}

void oam_wifi_create_thread()
{
    g_st_global.netlink_sock = oam_netlink_create();
    if (g_st_global.netlink_sock < 0) {
        OAM_PRINT("[%s:%d]netlink create failed\n\n");
    } else {
        (void)oam_pthread_create(&g_wifi_recv_thread);
    }
    oam_flag_store(g_st_global.wifi_thread_stop, 0);
}

void oam_4060_memdump_create_thread()
{
    if (oam_get_sub_chip_type() != CHIP_ZR4060) {
        OAM_PRINT("[%s:%d]zr400x ignore thread create\n\n");
        return;
    }
    int ret = pthread_create(&g_4060_memdump_thread, nullptr, memdump_wifi_rotate_pthread, nullptr);
    if (ret != 0) {
        OAM_PRINT("[%s:%d]zr4060 rotate thread create error,error:%d\n\n", ret);
    }
}

void main_exit()
{
    OAM_PRINT("[%s:%d]enter oam vexa main() exit!\n\n");
    oam_close_if_open(g_st_global.vtl_server_sock);
    if (oam_claim_receivers()) {
        if (g_st_global.netlink_sock > 0) {
            oam_pthread_close(g_wifi_recv_thread);
        }
        if (g_st_global.bfg_fd > 0) {
            oam_bfg_pthread_close(g_bfg_recv_thread);
        }
        if (g_st_global.me_fd > 0) {
            oam_me_pthread_close(g_me_recv_thread);
        }
    }
    // The receivers are joined now and the tool loop has ended: nobody else
    // takes these locks any more.
    pthread_mutex_destroy(&g_st_global.vtl_sock_mutex);
    pthread_mutex_destroy(&g_st_global.vtl_send_mutex);
    if (g_st_global.nlh != nullptr) {
        free(g_st_global.nlh);
        g_st_global.nlh = nullptr;
    }
    oam_free_mem();
    oam_close_if_open(g_st_global.netlink_sock);
    oam_close_if_open(g_st_global.bfg_fd);
    oam_close_if_open(g_st_global.me_fd);
    OAM_PRINT("[%s:%d]oam vexa main() closed over!\n\n");
}

// The SIGTERM stop, run on the daemon's own signal thread.  Closing a node
// or socket while its receiver is still reading it would let the receiver
// spin on a dead descriptor, or read from whatever file reuses the number,
// until the process is gone; so the receivers are woken and joined first
// (each ends within one pass).  The dump threads run on until the exit, and
// the main thread may still be in the tool loop: the locks and work buffers
// are therefore neither destroyed nor freed here, the exit reclaims them.
void exit_main(int sig)
{
    (void)sig;
    OAM_PRINT("[%s:%d]main closed!\n\n");
    if (oam_claim_receivers()) {
        if (g_st_global.netlink_sock > 0) {
            oam_quiet_stop(g_st_global.wifi_thread_stop, g_wifi_recv_thread);
        }
        if (g_st_global.bfg_fd >= 0) {
            oam_quiet_stop(g_st_global.bfg_thread_stop, g_bfg_recv_thread);
        }
        if (g_st_global.me_fd > 0) {
            oam_quiet_stop(g_st_global.me_thread_stop, g_me_recv_thread);
        }
    }
    // The main thread may be blocked receiving on the tool connection: end
    // the connection for the tool at once, and leave the descriptor itself
    // to the exit rather than pull it from under that receive.
    if (g_st_global.vtl_client_sock > 0) {
        shutdown(g_st_global.vtl_client_sock, SHUT_RDWR);
    }
    oam_close_if_open(g_st_global.netlink_sock);
    oam_close_if_open(g_st_global.bfg_fd);
    oam_close_if_open(g_st_global.me_fd);
    OAM_PRINT("[%s:%d]main closed finished!\n\n");
    exit(0);
}

int oam_main(int argc, char **argv)
{
    if (argv == nullptr) {
        OAM_PRINT("[%s:%d]param is null!!!\n");
        return -1;
    }
    (void)main_init();

    if (argc > 1 && argv[1] != nullptr) {
        if (strcmp(argv[1], "wvt") == 0) {
            g_wvt_mode = 1;
        } else if (strcmp(argv[1], "test") == 0) {
            g_test_mode = 1;
        }
    }

    (void)memset_s(&g_st_global, sizeof(g_st_global), 0, sizeof(g_st_global));
    pthread_mutex_init(&g_st_global.vtl_sock_mutex, nullptr);
    pthread_mutex_init(&g_st_global.vtl_send_mutex, nullptr);

    if (oam_malloc_mem() != 0) {
        return -1;
    }
    if (oam_log_param_init() < 0) {
        oam_free_mem();
        return -1;
    }
    int ret = oam_vtl_socket_create();
    if (ret < 0) {
        oam_free_mem();
        return ret;
    }
    oam_wifi_create_thread();
    oam_bfgx_create_thread();
    oam_me_create_thread();
    oam_4060_memdump_create_thread();
    (void)bfgx_cali_init();
    (void)ini_plat_dfr_set();

    oam_vtl_socket_loop();

    main_exit();
    exit(0);
}
