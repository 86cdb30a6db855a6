/*
 * LD_PRELOAD sleep shim for the tests, the demo, the appliance and the
 * benchmarks: sleep, usleep, nanosleep and relative clock_nanosleep pass
 * faster; absolute sleeps are left as they are. A signal cuts a sleep short
 * as usual, with the time left reported on the process's own scale.
 *
 * TORPOR_FAST_CLOCK=N (N >= 1), the fast clock: a sleep of a process that
 * has no child running lasts 1/N of its length. While a child runs, a sleep
 * lasts its full length in real time and ends early once a child has ended:
 * a tool gets the same five real seconds as on the appliance, however slow
 * the machine, and a tool that is done costs no idle second. Once loaded,
 * the shim takes its own entry out of LD_PRELOAD and its variables out of
 * the environment, so the programs the process starts run at their real
 * speed. Two more variables serve the tests in this mode:
 * TORPOR_SLEEP_LOG=FILE appends the length of every sleep made while no
 * child runs to FILE, in milliseconds, a line each, so that a test can see
 * how long the process meant to wait; TORPOR_FAIL_FORK=K makes the K-th
 * fork fail with EAGAIN, counted from 1 over the process and the children
 * it forks.
 *
 * BENCH_SLEEP_MS=M, the benchmarks' mode: a second of any sleep lasts M
 * milliseconds, child or not, with the one clock_nanosleep system call the
 * C library's sleep makes, so that only the program's own work is counted.
 * After BENCH_SLEEPS sleeps (if set) the process ends with _exit(0); before
 * the sleeps whose numbers BENCH_STOPS lists (up to four, counted from 1) it
 * stops itself with SIGSTOP. The environment is left as it is: valgrind and
 * strace, preloaded too, hand the shim on to the daemon they run.
 */

#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define NSEC 1000000000LL

typedef int clock_sleep_fn(clockid_t, int, const struct timespec *, struct timespec *);

static double share = 1.0;    /* of its length, what a sleep lasts */
static int fast_clock = 1;    /* sleeps while a child runs last their length */
static long sleeps_left = -1; /* BENCH_SLEEPS: -1 for no end */
static long sleeps_done = 0;
static long stops[4];
static int stop_count = 0;
static char sleep_log[4096]; /* TORPOR_SLEEP_LOG: empty for none */
static long fork_to_fail = 0;
static long forks_made = 0;

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

/* The variable's number, or fallback when it is unset or not a number >= 0. */
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

/* Takes this shim's own entry out of LD_PRELOAD (entries are separated by
 * blanks or colons), in place; an empty list goes altogether. */
static void leave_preload(void)
{
    Dl_info self;
    char *list = getenv("LD_PRELOAD");
    if (list == NULL || dladdr((void *)leave_preload, &self) == 0 || self.dli_fname == NULL)
        return;
    size_t own = strlen(self.dli_fname);
    char *entry = list;
    while (*(entry += strspn(entry, " :")) != '\0') {
        size_t len = strcspn(entry, " :");
        if (len == own && strncmp(entry, self.dli_fname, len) == 0)
            memmove(entry, entry + len, strlen(entry + len) + 1);
        else
            entry += len;
    }
    if (list[strspn(list, " :")] == '\0')
        unsetenv("LD_PRELOAD");
}

__attribute__((constructor)) static void settings(void)
{
    long ms = env_number("BENCH_SLEEP_MS", -1);
    if (ms >= 0) {
        share = ms / 1000.0;
        fast_clock = 0;
        sleeps_left = env_number("BENCH_SLEEPS", -1);
        read_stops();
        return;
    }
    long rate = env_number("TORPOR_FAST_CLOCK", 1);
    share = 1.0 / (double)(rate >= 1 ? rate : 1);
    fork_to_fail = env_number("TORPOR_FAIL_FORK", 0);
    const char *log = getenv("TORPOR_SLEEP_LOG");
    if (log != NULL && strlen(log) < sizeof sleep_log)
        strcpy(sleep_log, log);
    leave_preload();
    unsetenv("TORPOR_FAST_CLOCK");
    unsetenv("TORPOR_FAIL_FORK");
    unsetenv("TORPOR_SLEEP_LOG");
}

pid_t fork(void)
{
    static pid_t (*real)(void);
    if (real == NULL)
        real = (pid_t(*)(void))dlsym(RTLD_NEXT, "fork");
    if (++forks_made == fork_to_fail) {
        errno = EAGAIN;
        return -1;
    }
    return real();
}

static void log_sleep(long long ns)
{
    if (sleep_log[0] == '\0')
        return;
    char line[32];
    int len = snprintf(line, sizeof line, "%lld\n", ns / 1000000);
    int fd = open(sleep_log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    ssize_t written = write(fd, line, (size_t)len);
    (void)written;
    close(fd);
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

static void count_sleep(void)
{
    if (sleeps_left == 0)
        _exit(0);
    if (sleeps_left > 0)
        --sleeps_left;
    ++sleeps_done;
    for (int i = 0; i < stop_count; ++i)
        if (stops[i] == sleeps_done)
            raise(SIGSTOP);
}

/* Sleeps ns nanoseconds of the process's time; 0 or EINTR, the time left in
 * *left on EINTR. */
static int sleep_ns(clockid_t clock, long long ns, long long *left)
{
    count_sleep();
    if (!fast_clock || children() == NO_CHILD) {
        if (fast_clock)
            log_sleep(ns);
        struct timespec want = from_ns((long long)((double)ns * share));
        struct timespec rest = {0, 0};
        int rc = real_sleep()(clock, 0, &want, &rest);
        if (rc == EINTR)
            *left = share > 0 ? (long long)((double)to_ns(&rest) / share) : 0;
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
