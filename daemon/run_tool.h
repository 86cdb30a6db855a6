#ifndef TORPORD_RUN_TOOL_H
#define TORPORD_RUN_TOOL_H

// Starts an external tool and waits for it about five seconds at most: five
// polls one second apart, then SIGKILL. argv is NULL-terminated and begins
// with path. Returns 0 when the tool ran and ended with status 0, and 1
// otherwise: no child could be created, the program could not be started
// (its child then ends with status 127), it failed, or it was killed.
#include <stddef.h>
#include <string.h>

int runWithTimeout(const char *path, char *const argv[]);

// Runs command through /bin/sh -c and waits for it as long as a tool: a
// shell that cannot write where it is told (a console that takes no writes)
// is killed after about five seconds. It is polled every hundredth of a
// second, since a shell usually ends within milliseconds. Result as above.
int runShellWithTimeout(char *command);

// Kills the child that is being waited for, if any. For the TERM handler:
// async-signal-safe.
void killWaitedChild();

// Sleeps one whole second: a signal does not cut it short.
void sleepWholeSecond();

// execv takes writable strings: a constant argument copied into one.
template <size_t N>
struct ToolArg {
    explicit ToolArg(const char (&constant)[N]) { memcpy(text, constant, N); }
    char text[N] = {};
};

#endif
