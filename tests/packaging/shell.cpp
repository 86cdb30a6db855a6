#include "shell.h"

#include <sys/wait.h>

#include <cstdio>

namespace shell {

Result run(const std::string &command)
{
    Result result;
    std::fflush(nullptr);
    FILE *pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return result;
    char buf[4096];
    size_t got = 0;
    while ((got = std::fread(buf, 1, sizeof buf, pipe)) > 0)
        result.output.append(buf, got);
    int status = ::pclose(pipe);
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.status = 128 + WTERMSIG(status);
    return result;
}

Result logged(const std::string &command)
{
    Result result = run(command);
    if (result.status != 0)
        std::fprintf(stderr, "$ %s\n%s(status %d)\n", command.c_str(), result.output.c_str(),
                     result.status);
    return result;
}

std::string quote(const std::string &word)
{
    std::string quoted = "'";
    for (char c : word) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

} // namespace shell
