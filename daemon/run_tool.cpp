#include "run_tool.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace {

constexpr int kPolls = 5;

} // namespace

void sleepWholeSecond()
{
    timespec left{1, 0};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

int runWithTimeout(const char *path, char *const argv[])
{
    pid_t child = ::fork();
    if (child < 0)
        return 1;
    if (child == 0) {
        ::execv(path, argv);
        _exit(0);
    }
    bool ended = false;
    for (int poll = 0; poll < kPolls && !ended; ++poll) {
        pid_t got = ::waitpid(child, nullptr, WNOHANG);
        ended = got == child || got == -1;
        if (!ended)
            sleepWholeSecond();
    }
    if (!ended)
        ::kill(child, SIGKILL);
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    return 0;
}
