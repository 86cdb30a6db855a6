// errlog_write reports per second, with tracing off and on, from one process
// and from four processes contending for the error log's lock. Runs in a
// private mount namespace of its own, with a tmpfs under /var/lock/ostrel,
// so the machine's logs are never touched.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "errlog.h"

namespace {

constexpr char kLogDir[] = "/var/lock/ostrel";
constexpr char kMarker[] = "/var/lock/ostrel/.trace.mode";
constexpr int kReportsPerProcess = 4000;

// The error-log directory on a tmpfs of a private mount namespace. The lock
// directory is a link on Debian (/var/lock -> /run/lock): the tmpfs goes on
// its target.
bool enter_sandbox()
{
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    char lock_dir[PATH_MAX];
    if (::realpath("/var/lock", lock_dir) == nullptr ||
        ::mount("bench", lock_dir, "tmpfs", 0, "mode=755") != 0)
        return false;
    return ::mkdir(kLogDir, 0755) == 0;
}

void open_logs(bool tracing)
{
    if (tracing)
        ::close(::open(kMarker, O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    else
        ::unlink(kMarker);
    errlog_open(0, nullptr);
}

// A text report of the kind the file helpers write, without a code: it
// always takes the lock, and is traced when tracing is on.
void report(int i)
{
    errlog_write(0, 0, "exec_command: cmd=/bin/chgrp -R users \"/mnt/usb1/share/%d\"\n", i);
}

void BM_errlog_write(benchmark::State &state)
{
    open_logs(state.range(0) != 0);
    int i = 0;
    for (auto _ : state)
        report(++i);
    errlog_close();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_errlog_write)->ArgName("tracing")->Arg(0)->Arg(1);

// Four processes, each making kReportsPerProcess reports at once; the time
// is the wall time until the last one has finished.
void BM_errlog_write_4_processes(benchmark::State &state)
{
    constexpr int kProcesses = 4;
    open_logs(state.range(0) != 0);
    for (auto _ : state) {
        int ready[2];
        if (::pipe(ready) != 0) {
            state.SkipWithError("pipe");
            break;
        }
        pid_t children[kProcesses];
        for (pid_t &child : children) {
            child = ::fork();
            if (child == 0) {
                char go;
                ::close(ready[1]);
                if (::read(ready[0], &go, 1) < 0)
                    _exit(1);
                for (int i = 0; i < kReportsPerProcess; ++i)
                    report(i);
                _exit(0);
            }
        }
        ::close(ready[0]);
        auto start = std::chrono::steady_clock::now();
        ::close(ready[1]); // all start together
        bool failed = false;
        for (pid_t child : children) {
            int status = 0;
            failed |= child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
                      WEXITSTATUS(status) != 0;
        }
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (failed) {
            state.SkipWithError("a writer failed");
            break;
        }
        state.SetIterationTime(took.count());
    }
    errlog_close();
    state.SetItemsProcessed(state.iterations() * kProcesses * kReportsPerProcess);
}
BENCHMARK(BM_errlog_write_4_processes)
    ->ArgName("tracing")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    ::unsetenv("VARNOK_DEBUG_MODE");
    if (!enter_sandbox()) {
        std::perror("errlog_bench: no private mount namespace with its own /var/lock/ostrel");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
