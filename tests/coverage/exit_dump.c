/*
 * Coverage builds only. The sandboxed tests and the daemon's SIGTERM handler
 * end their processes with _exit, which skips gcov's writers at exit; every
 * program of a coverage build is linked with -Wl,--wrap=_exit and this, so
 * that the counters are written first. Product code is unchanged.
 */
#include <stdnoreturn.h>

void __gcov_dump(void);
noreturn void __real__exit(int status);

noreturn void __wrap__exit(int status)
{
    __gcov_dump();
    __real__exit(status);
}
