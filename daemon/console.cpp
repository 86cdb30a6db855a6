#include "console.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "owned.h"
#include "paths.h"
#include "run_tool.h"

namespace {

constexpr size_t kCommandSize =
    sizeof(paths::kConsoleCommand) - 4 + (kQuotedSize - 1) + (sizeof(paths::kConsole) - 1) + 1;

} // namespace

bool debugModeOn()
{
    constexpr size_t nameLen = sizeof(paths::kDebugVariable) - 1;
    if (environ == nullptr)
        return false;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const char *e = *entry;
        if (std::strncmp(e, paths::kDebugVariable, nameLen) == 0 && e[nameLen] == '=')
            return std::strcmp(e + nameLen + 1, paths::kDebugOn) == 0;
    }
    return false;
}

size_t consoleQuote(char *dst, const char *message)
{
    size_t out = 0;
    for (size_t in = 0; in < kTraceSize - 1 && message[in] != '\0'; ++in) {
        char c = message[in];
        // The four characters that keep a meaning between double quotes;
        // the shell drops the backslash, busybox's echo prints the rest.
        if (c == '\\' || c == '"' || c == '$' || c == '`')
            dst[out++] = '\\';
        dst[out++] = c;
    }
    dst[out] = '\0';
    return out;
}

int debugPrint(const char *message)
{
    if (!debugModeOn())
        return 0;
    char quoted[kQuotedSize];
    consoleQuote(quoted, message);
    char command[kCommandSize];
    std::snprintf(command, sizeof command, paths::kConsoleCommand, quoted, paths::kConsole);
    // The console is written by the shell's redirection, as on the appliance;
    // the message is quoted for it above. A console that takes no writes
    // holds the cycle no longer than a tool may.
    return runShellWithTimeout(command);
}

void debugPrintf(const char *format, ...)
{
    if (!debugModeOn())
        return;
    char message[kTraceSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    debugPrint(message);
}

void consoleWriteDirect(const char *message)
{
    char line[sizeof(paths::kConsolePrefix) + kTraceSize];
    size_t len = sizeof(paths::kConsolePrefix) - 1;
    std::memcpy(line, paths::kConsolePrefix, len);
    size_t msgLen = strnlen(message, kTraceSize - 1);
    std::memcpy(line + len, message, msgLen);
    len += msgLen;
    line[len++] = '\n';
    // Non-blocking, so that a console that takes no writes cannot hold the
    // process; never as the controlling terminal.
    owned::unique_fd fd(::open(paths::kConsole,
                               O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666));
    if (fd.valid()) {
        ssize_t written = ::write(fd.get(), line, len);
        (void)written;
    }
}
