/*
 * LD_PRELOAD shim for the daemon benchmarks: sleep(n) sleeps n times
 * BENCH_SLEEP_MS milliseconds (default 10) with the same single
 * clock_nanosleep(CLOCK_REALTIME) system call that the C library's sleep
 * makes, so a minute-long cycle takes well under a second while the
 * program's instructions and system calls stay those of a real cycle. After
 * BENCH_SLEEPS calls (if set) the process ends with _exit(0), so a run under
 * valgrind or strace stops by itself after a known amount of work. Before
 * the sleeps whose numbers BENCH_STOPS lists (up to four, counted from 1)
 * the process stops itself with SIGSTOP, so that its memory can be read
 * after a known amount of work; SIGCONT lets it go on.
 */

#define _GNU_SOURCE
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

static long sleep_ms = -1;
static long sleeps_left = -1;
static long sleeps_done = 0;
static long stops[4];
static int stop_count = 0;
static struct timespec one_second;

static long env_number(const char *name, long fallback)
{
    const char *text = getenv(name);
    if (text == NULL || *text == '\0')
        return fallback;
    char *end = NULL;
    long value = strtol(text, &end, 10);
    return *end == '\0' && value >= 0 ? value : fallback;
}

static void read_stops(void)
{
    const char *text = getenv("BENCH_STOPS");
    while (text != NULL && stop_count < 4) {
        char *end = NULL;
        long n = strtol(text, &end, 10);
        if (end == text)
            break;
        stops[stop_count++] = n;
        text = end;
    }
}

unsigned int sleep(unsigned int seconds)
{
    if (sleep_ms < 0) {
        sleep_ms = env_number("BENCH_SLEEP_MS", 10);
        sleeps_left = env_number("BENCH_SLEEPS", -1);
        one_second.tv_sec = sleep_ms / 1000;
        one_second.tv_nsec = sleep_ms % 1000 * 1000000L;
        read_stops();
    }
    if (sleeps_left == 0)
        _exit(0);
    if (sleeps_left > 0)
        --sleeps_left;
    if (stop_count > 0) {
        ++sleeps_done;
        for (int i = 0; i < stop_count; ++i)
            if (stops[i] == sleeps_done)
                raise(SIGSTOP);
    }
    struct timespec want = one_second;
    if (seconds != 1) {
        long long ms = (long long)seconds * sleep_ms;
        want.tv_sec = (time_t)(ms / 1000);
        want.tv_nsec = (long)(ms % 1000) * 1000000L;
    }
    struct timespec left = {0, 0};
    if (clock_nanosleep(CLOCK_REALTIME, 0, &want, &left) != EINTR || sleep_ms == 0)
        return 0;
    /* As sleep does: the seconds not slept, rounded up. */
    long long left_ms = (long long)left.tv_sec * 1000 + left.tv_nsec / 1000000;
    return (unsigned int)((left_ms + sleep_ms - 1) / sleep_ms);
}
