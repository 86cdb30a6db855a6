#include "logs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "sandbox.h"

namespace logs {

void fresh(bool tracing, const std::string &options)
{
    sandbox::tmpfs("/var/lock");
    ::mkdir(kDir.c_str(), 0755);
    sandbox::tmpfs(kDir, options);
    if (tracing)
        sandbox::write_file(kMarker, "");
}

std::string record()
{
    return sandbox::read_file(kRecord);
}

std::string trace()
{
    return sandbox::read_file(kTrace);
}

bool waiting_for_lock(pid_t pid)
{
    std::string me = " " + std::to_string(pid) + " ";
    for (int tries = 0; tries < 10000; ++tries) {
        std::istringstream locks(sandbox::read_file("/proc/locks"));
        std::string line;
        while (std::getline(locks, line))
            if (line.find("->") != std::string::npos && line.find(me) != std::string::npos)
                return true;
        ::usleep(1000);
    }
    return false;
}

} // namespace logs
