#include "run_tool.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "paths.h"

namespace {

constexpr int kPolls = 5;
constexpr timespec kPollPause{1, 0};
constexpr int kShellPolls = 500;
constexpr timespec kShellPollPause{0, 10'000'000};
// What a child ends with when its program cannot be started, as a shell's.
constexpr int kNotStarted = 127;

// The child being waited for, so that SIGTERM does not leave it running.
volatile sig_atomic_t waitedChild = 0;

void sleepWhole(timespec left)
{
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

sigset_t termOnly()
{
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    return term;
}

// waitpid with SIGTERM held back until a reaped child's pid is cleared: the
// pid may be given to another process at once.
pid_t reap(pid_t child, int &status, int options)
{
    sigset_t term = termOnly();
    sigset_t before;
    sigprocmask(SIG_BLOCK, &term, &before);
    pid_t got = ::waitpid(child, &status, options);
    if (got == child)
        waitedChild = 0;
    sigprocmask(SIG_SETMASK, &before, nullptr);
    return got;
}

// Runs path in a child, polls it polls times pause apart, kills it if it is
// still running then, and reaps it. SIGTERM is held back until the child's
// pid is recorded, so that the handler knows every child it must kill; the
// child takes the default action of SIGTERM again before it lets one in, as
// the daemon's handler would end it with status 0.
int run(const char *path, char *const argv[], int polls, timespec pause)
{
    sigset_t term = termOnly();
    sigset_t before;
    sigprocmask(SIG_BLOCK, &term, &before);
    pid_t child = ::fork();
    if (child == 0) {
        ::signal(SIGTERM, SIG_DFL);
        sigprocmask(SIG_SETMASK, &before, nullptr);
        ::execv(path, argv);
        _exit(kNotStarted);
    }
    if (child > 0)
        waitedChild = child;
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (child < 0)
        return 1;
    int status = 0;
    pid_t got = 0;
    for (int poll = 0; poll < polls && got == 0; ++poll) {
        got = reap(child, status, WNOHANG);
        if (got == 0)
            sleepWhole(pause);
    }
    if (got == 0) {
        ::kill(child, SIGKILL);
        while ((got = reap(child, status, 0)) < 0 && errno == EINTR) {
        }
    }
    return got == child && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}

} // namespace

void sleepWholeSecond()
{
    sleepWhole(kPollPause);
}

int runWithTimeout(const char *path, char *const argv[])
{
    return run(path, argv, kPolls, kPollPause);
}

int runShellWithTimeout(char *command)
{
    ToolArg sh(paths::kShellName);
    ToolArg dashC(paths::kShellCommandFlag);
    char *argv[] = {sh.text, dashC.text, command, nullptr};
    return run(paths::kShell, argv, kShellPolls, kShellPollPause);
}

void killWaitedChild()
{
    pid_t child = waitedChild;
    if (child > 0)
        ::kill(child, SIGKILL);
}
