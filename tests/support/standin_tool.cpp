// Stand-in for /sbin/hdparm and /usr/local/bin/sg_start: records its
// argument vector and any LD_PRELOAD, and hangs or fails when told to.
// Touches no device.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "standin.h"

namespace {

// Arguments with blanks or nothing in them are quoted, so a log is exact.
std::string quoted(const char *arg)
{
    std::string text(arg);
    if (!text.empty() && text.find_first_of(" \t\n'") == std::string::npos)
        return text;
    text.insert(0, 1, '\'');
    text.push_back('\'');
    return text;
}

} // namespace

int main(int argc, char **argv)
{
    std::string line = "run:";
    for (int i = 0; i < argc; ++i) {
        line.push_back(' ');
        line.append(quoted(argv[i]));
    }
    line.push_back('\n');
    // The daemon's fast clock must not reach the tools it starts.
    if (const char *preload = std::getenv("LD_PRELOAD"))
        line += std::string("preload: ") + preload + "\n";
    // Nor the SIGTERM it holds back while it starts one.
    sigset_t blocked;
    ::sigprocmask(SIG_BLOCK, nullptr, &blocked);
    if (::sigismember(&blocked, SIGTERM) == 1)
        line += "blocked: SIGTERM\n";
    standin::record(line);
    const char *slash = std::strrchr(argv[0], '/');
    const char *name = slash ? slash + 1 : argv[0];
    std::string hang = std::string(standin::kHangPrefix) + name;
    if (::access(hang.c_str(), F_OK) == 0) {
        standin::record("hang[" + std::to_string(::getpid()) + "]: " + argv[0] + "\n");
        for (;;)
            ::pause();
    }
    std::ifstream status(std::string(standin::kExitPrefix) + name);
    int code = 0;
    status >> code;
    return code;
}
