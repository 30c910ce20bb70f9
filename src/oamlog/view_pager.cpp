// The output of one run through the user's pager, when it goes to a
// terminal: started once before the first line, waited for at the exit.
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "oamlog/reader_status.h"
#include "oamlog/view_pager.h"

namespace {

pid_t g_pager_pid = -1;
int g_pager_stderr = -1;  // the terminal's standard error while the pager has it
constexpr std::array<int, 4> PAGER_SIGNALS = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
std::array<void (*)(int), PAGER_SIGNALS.size()> g_pager_was{};

// Ends the pager's input and waits until the user has left it, so that the
// shell's prompt never comes while the pager still holds the terminal.
// Only calls that are safe in a signal handler.
void pager_finish()
{
    if (g_pager_pid < 0) {
        return;
    }
    (void)close(STDOUT_FILENO);
    if (g_pager_stderr >= 0) {
        (void)dup2(g_pager_stderr, STDERR_FILENO);
        (void)close(g_pager_stderr);
        g_pager_stderr = -1;
    }
    int status = 0;
    while (waitpid(g_pager_pid, &status, 0) < 0 && errno == EINTR) {
    }
    g_pager_pid = -1;
}

void pager_at_exit()
{
    // The user may have left the pager before the last lines: they are
    // not wanted, and the status stays what the run found.
    (void)signal(SIGPIPE, SIG_IGN);
    (void)fflush(stdout);
    pager_finish();
}

void pager_on_signal(int sig)
{
    pager_finish();
    if (sig == SIGPIPE) {
        // The user quit the pager: what is left to print is not wanted, and
        // that is no failure.  The write cut short was standard output's,
        // closed now; the exit's other work (a bundle's folder removed)
        // does not touch it.
        exit(OAMLOG_OK);
    }
    for (size_t i = 0; i < PAGER_SIGNALS.size(); ++i) {
        if (PAGER_SIGNALS[i] == sig) {
            (void)signal(sig, g_pager_was[i]);  // a bundle's folder is removed there
        }
    }
    (void)raise(sig);
}

}  // namespace

void oamlog_pager_start()
{
    if (g_pager_pid >= 0 || isatty(STDOUT_FILENO) == 0) {
        return;
    }
    const char *pager = getenv("OAMLOG_PAGER");
    if (pager == nullptr) {
        pager = getenv("PAGER");
    }
    if (pager == nullptr) {
        pager = "less";
    }
    if (*pager == '\0' || strcmp(pager, "cat") == 0) {
        return;
    }
    // Colours kept, long lines scrolled sideways instead of wrapped, one
    // screen's worth printed without paging, the screen left as it is at the
    // end, and Ctrl-C quits; what the user set stays.
    (void)setenv("LESS", "FRSXK", 0);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return;
    }
    (void)fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        if (dup2(fds[0], STDIN_FILENO) == STDIN_FILENO) {
            (void)execl("/bin/sh", "sh", "-c", pager, static_cast<char *>(nullptr));
        }
        _exit(127);
    }
    (void)close(fds[0]);
    if (pid < 0) {
        (void)close(fds[1]);
        return;
    }
    g_pager_pid = pid;
    // Reports on standard error stand among the lines as on the terminal,
    // instead of being written over the pager's screen.
    if (isatty(STDERR_FILENO) != 0 && (g_pager_stderr = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3)) >= 0) {
        (void)dup2(fds[1], STDERR_FILENO);
    }
    (void)dup2(fds[1], STDOUT_FILENO);
    (void)close(fds[1]);
    (void)setvbuf(stdout, nullptr, _IOLBF, 0);
    (void)atexit(pager_at_exit);
    for (size_t i = 0; i < PAGER_SIGNALS.size(); ++i) {
        g_pager_was[i] = signal(PAGER_SIGNALS[i], pager_on_signal);
        if (g_pager_was[i] == SIG_IGN && PAGER_SIGNALS[i] != SIGPIPE) {
            (void)signal(PAGER_SIGNALS[i], SIG_IGN);  // as under nohup: not ours to end
        }
    }
}
