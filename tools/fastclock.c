/*
 * LD_PRELOAD clock for the tests and the demo: a minute of the daemon's
 * waiting passes in a fraction of a second, while the tools it starts keep
 * their real seconds.
 *
 * TORPOR_FAST_CLOCK=N (N >= 1) makes a sleep of a process that has no child
 * running last 1/N of its length. While a child runs, a sleep lasts its full
 * length in real time and ends early once a child has ended: a tool gets the
 * same five real seconds as on the appliance, however slow the machine, and
 * a tool that is done costs no idle second. A signal cuts a sleep short as
 * usual, with the time left reported on the process's own scale.
 */

#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define NSEC 1000000000LL

typedef int clock_sleep_fn(clockid_t, int, const struct timespec *, struct timespec *);

static long long to_ns(const struct timespec *t)
{
    return (long long)t->tv_sec * NSEC + t->tv_nsec;
}

static struct timespec from_ns(long long ns)
{
    struct timespec t = {(time_t)(ns / NSEC), (long)(ns % NSEC)};
    return t;
}

static long long now_ns(clockid_t clock)
{
    struct timespec t;
    clock_gettime(clock, &t);
    return to_ns(&t);
}

static clock_sleep_fn *real_sleep(void)
{
    static clock_sleep_fn *real;
    if (real == NULL)
        real = (clock_sleep_fn *)dlsym(RTLD_NEXT, "clock_nanosleep");
    return real;
}

static long long rate(void)
{
    const char *text = getenv("TORPOR_FAST_CLOCK");
    long long n = text != NULL ? atoll(text) : 1;
    return n >= 1 ? n : 1;
}

enum children { NO_CHILD, CHILD_RUNNING, CHILD_ENDED };

/* Looks without reaping: the waiting stays the program's own. */
static enum children children(void)
{
    siginfo_t info;
    info.si_pid = 0;
    if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return NO_CHILD;
    return info.si_pid != 0 ? CHILD_ENDED : CHILD_RUNNING;
}

/* Sleeps ns nanoseconds of the process's time; 0 or EINTR, the time left in
 * *left on EINTR. */
static int sleep_ns(clockid_t clock, long long ns, long long *left)
{
    if (children() == NO_CHILD) {
        long long scale = rate();
        struct timespec want = from_ns(ns / scale);
        struct timespec rest = {0, 0};
        int rc = real_sleep()(clock, 0, &want, &rest);
        *left = to_ns(&rest) * scale;
        return rc;
    }
    const long long step = NSEC / 100;
    long long end = now_ns(clock) + ns;
    for (;;) {
        long long remaining = end - now_ns(clock);
        if (remaining <= 0 || children() != CHILD_RUNNING)
            return 0;
        struct timespec want = from_ns(remaining < step ? remaining : step);
        if (real_sleep()(clock, 0, &want, NULL) == EINTR) {
            *left = end - now_ns(clock);
            if (*left < 0)
                *left = 0;
            return EINTR;
        }
    }
}

static int valid(const struct timespec *t)
{
    return t != NULL && t->tv_sec >= 0 && t->tv_nsec >= 0 && t->tv_nsec < NSEC;
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec *req, struct timespec *rem)
{
    if (flags & TIMER_ABSTIME)
        return real_sleep()(clock, flags, req, rem);
    if (!valid(req))
        return EINVAL;
    long long left = 0;
    int rc = sleep_ns(clock, to_ns(req), &left);
    if (rc == EINTR && rem != NULL)
        *rem = from_ns(left);
    return rc;
}

int nanosleep(const struct timespec *req, struct timespec *rem)
{
    int rc = clock_nanosleep(CLOCK_REALTIME, 0, req, rem);
    if (rc == 0)
        return 0;
    errno = rc;
    return -1;
}

unsigned int sleep(unsigned int seconds)
{
    long long left = 0;
    if (sleep_ns(CLOCK_REALTIME, seconds * NSEC, &left) != EINTR)
        return 0;
    /* As the C library's: the seconds left, rounded to the nearest. */
    return (unsigned int)((left + NSEC / 2) / NSEC);
}

int usleep(useconds_t usec)
{
    long long left = 0;
    if (sleep_ns(CLOCK_REALTIME, usec * 1000LL, &left) != EINTR)
        return 0;
    errno = EINTR;
    return -1;
}
