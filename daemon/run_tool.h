#ifndef TORPORD_RUN_TOOL_H
#define TORPORD_RUN_TOOL_H

// Starts an external tool and waits for it about five seconds at most: five
// polls one second apart, then SIGKILL. argv is NULL-terminated and begins
// with path. Returns 1 when no child could be created, otherwise 0; the
// tool's exit status is not examined.
#include <stddef.h>
#include <string.h>

int runWithTimeout(const char *path, char *const argv[]);

// Sleeps one whole second: a signal does not cut it short.
void sleepWholeSecond();

// execv takes writable strings: a constant argument copied into one.
template <size_t N>
struct ToolArg {
    explicit ToolArg(const char (&constant)[N]) { memcpy(text, constant, N); }
    char text[N] = {};
};

#endif
