// runWithTimeout with the recording stand-in.
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "harness.h"
#include "run_tool.h"
#include "sandbox.h"
#include "standin.h"

namespace {

using std::chrono::steady_clock;

bool term_held_at_reap = false; // at the last waitpid that returned a child
bool term_at_exec = false;      // a SIGTERM comes just before the tool starts

} // namespace

// The test's own waitpid and execv, over the C library's.
extern "C" pid_t waitpid(pid_t pid, int *status, int options)
{
    auto got = static_cast<pid_t>(::syscall(SYS_wait4, pid, status, options, nullptr));
    sigset_t mask;
    ::sigprocmask(SIG_BLOCK, nullptr, &mask);
    if (got > 0)
        term_held_at_reap = sigismember(&mask, SIGTERM) == 1;
    return got;
}

extern "C" int execv(const char *path, char *const argv[]) noexcept
{
    if (term_at_exec)
        ::raise(SIGTERM);
    return ::execve(path, argv, environ);
}

namespace {

int run_standin_as(const char *name, std::initializer_list<const char *> args)
{
    harness::require_programs();
    std::vector<char *> argv = {const_cast<char *>(name)};
    for (const char *arg : args)
        argv.push_back(const_cast<char *>(arg));
    argv.push_back(nullptr);
    return runWithTimeout(harness::standin_program().c_str(), argv.data());
}

void make_standin_dir()
{
    ASSERT_EQ(::mkdir(standin::kDir, 0755), 0);
}

TEST(RunWithTimeout, RunsTheToolWithItsVectorReapsItAndTellsItsOutcome)
{
    sandbox::run([] {
        make_standin_dir();
        sandbox::write_file(std::string(standin::kExitPrefix) + "hdparm", "3\n");
        EXPECT_EQ(run_standin_as("/sbin/hdparm", {"-S0"}), 1);
        sandbox::write_file(std::string(standin::kExitPrefix) + "hdparm", "0\n");
        // A tool that is done is not waited for through all five polls.
        auto start = steady_clock::now();
        EXPECT_EQ(run_standin_as("/sbin/hdparm", {"-y", "/dev/hda"}), 0);
        EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(5));
        start = steady_clock::now();
        EXPECT_EQ(run_standin_as("/usr/local/bin/sg_start", {"/dev/sg 1", "0"}), 0);
        EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_TRUE(term_held_at_reap) << "a SIGTERM could kill the reaped child's pid";
        // The daemon's handler ends a process with status 0: not the tool's.
        ::signal(SIGTERM, [](int) { _exit(0); });
        term_at_exec = true;
        EXPECT_EQ(run_standin_as("/sbin/hdparm", {"-C"}), 1);
        term_at_exec = false;
        EXPECT_EQ(sandbox::read_file(standin::kLog),
                  "run: /sbin/hdparm -S0\nrun: /sbin/hdparm -y /dev/hda\nrun: /usr/local/bin/sg_start '/dev/sg 1' 0\n");
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "a child was left unreaped";
    });
}

TEST(RunWithTimeout, MissingToolEndsItsChildAndFailsAsDoesAFailedFork)
{
    sandbox::run([] {
        char path[] = "/nonexistent/tool";
        char *argv[] = {path, nullptr};
        EXPECT_EQ(runWithTimeout(path, argv), 1);
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);

        // No fork: in a pid namespace whose first process has ended, fork fails.
        // In a process of its own, which ends with _exit: the leak check at exit
        // could not start its own thread there.
        pid_t probe = ::fork();
        if (probe == 0) {
            pid_t first = ::unshare(CLONE_NEWPID) == 0 ? ::fork() : -1;
            if (first == 0)
                _exit(0);
            bool fails = first > 0 && ::waitpid(first, nullptr, 0) == first &&
                         runWithTimeout(path, argv) == 1;
            _exit(fails ? 0 : 1);
        }
        int status = -1;
        ASSERT_EQ(::waitpid(probe, &status, 0), probe);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "runWithTimeout without fork";
    });
}

TEST(RunWithTimeout, HangingToolIsKilledAfterFiveWholeSecondsWhateverSignalsCome)
{
    sandbox::run([] {
        make_standin_dir();
        sandbox::write_file(std::string(standin::kHangPrefix) + "sg_start", "");
        auto start = steady_clock::now();
        {
            harness::Hangups hangups;
            EXPECT_EQ(run_standin_as("/usr/local/bin/sg_start", {"/dev/sg1", "0"}), 1);
            EXPECT_TRUE(term_held_at_reap);
        }
        auto took = steady_clock::now() - start;
        EXPECT_GE(took, std::chrono::milliseconds(4900));
        EXPECT_LT(took, std::chrono::seconds(10)) << "more than five polls";
        std::string log = sandbox::read_file(standin::kLog);
        size_t mark = log.find("hang[");
        ASSERT_NE(mark, std::string::npos) << log;
        pid_t tool = std::stoi(log.substr(mark + 5));
        EXPECT_EQ(::kill(tool, 0), -1) << "the hanging tool still exists";
        EXPECT_EQ(errno, ESRCH);
    });
}

} // namespace
