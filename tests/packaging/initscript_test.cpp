// The System V init script, run as the system runs it: against a missing or
// stale daemon, and against the real torpord started, reloaded, queried and
// stopped inside a sandbox where its disks, tools and console are stand-ins.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <string>

#include "sandbox.h"
#include "shell.h"

namespace {

using shell::quote;
using Clock = std::chrono::steady_clock;

const std::string kScript = TORPOR_INIT_SCRIPT;
const std::string kPidFile = "/var/run/torpord.pid";
const std::string kConfig = "/tmp/spindownd.conf";
const std::string kToolLog = "/tmp/tools.log";
// Only a failing test waits this long, on however slow a machine.
constexpr auto kDeadline = std::chrono::seconds(120);

// The daemon under test: TORPORD_BINARY from the environment, else the one
// this build made; empty while the build has none.
std::string daemon_binary()
{
    const char *given = std::getenv("TORPORD_BINARY");
    return given != nullptr ? given : TORPORD_BUILT;
}

shell::Result init(const std::string &action)
{
    return shell::run("sh " + quote(kScript) + " " + action);
}

// Makes the shell tool at path a stand-in that logs its name and arguments.
void stand_in(const std::string &path)
{
    sandbox::write_file(path, "#!/bin/sh\necho \"$0 $*\" >> " + kToolLog + "\n", 0755);
}

// /dev/console as a FIFO that the test drains, so that every trace line of
// the daemon is kept.
class Console {
public:
    Console()
    {
        const std::string fifo = sandbox::scratch("console");
        EXPECT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        sandbox::write_file("/dev/console", "");
        sandbox::bind_mount(fifo, "/dev/console");
        reader_ = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        writer_ = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        EXPECT_GE(reader_, 0);
        EXPECT_GE(writer_, 0);
    }
    ~Console()
    {
        ::close(reader_);
        ::close(writer_);
    }
    Console(const Console &) = delete;
    Console &operator=(const Console &) = delete;

    // Whether line has been written to the console by the deadline.
    bool shows(const std::string &line)
    {
        const auto end = Clock::now() + kDeadline;
        while (text_.find(line + "\n") == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left.count() <= 0)
                return false;
            pollfd p{reader_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) > 0) {
                char buf[4096];
                ssize_t got = ::read(reader_, buf, sizeof buf);
                if (got > 0)
                    text_.append(buf, static_cast<size_t>(got));
            }
        }
        return true;
    }

    const std::string &text() const { return text_; }

private:
    int reader_ = -1;
    int writer_ = -1;
    std::string text_;
};

// Polls for a file's content to contain text, up to the deadline.
bool file_gets(const std::string &path, const std::string &text)
{
    const auto end = Clock::now() + kDeadline;
    while (sandbox::read_file(path).find(text) == std::string::npos) {
        if (Clock::now() >= end)
            return false;
        ::usleep(10000);
    }
    return true;
}

// Kills a daemon that a failed test left running.
struct Reaper {
    pid_t pid = -1;
    ~Reaper()
    {
        if (pid > 0 && ::kill(pid, 0) == 0)
            ::kill(pid, SIGKILL);
    }
};

TEST(InitScript, AnswersWithoutARunningDaemon)
{
    sandbox::run([] {
        sandbox::tmpfs("/run");
        sandbox::writable("/etc/default");
        sandbox::write_file("/etc/default/torpord", "DAEMON=/tmp/no-such-torpord\n");

        shell::Result status = init("status");
        EXPECT_EQ(status.status, 3);
        EXPECT_EQ(status.output, "torpord is not running\n");
        EXPECT_EQ(init("reload").status, 7);
        shell::Result stop = init("stop");
        EXPECT_EQ(stop.status, 0);
        EXPECT_EQ(stop.output, "torpord is not running\n");

        shell::Result start = init("start");
        EXPECT_EQ(start.status, 5);
        EXPECT_EQ(start.output, "torpord: /tmp/no-such-torpord is not installed\n");

        shell::Result usage = init("frobnicate");
        EXPECT_EQ(usage.status, 2);
        EXPECT_NE(usage.output.find("Usage: "), std::string::npos) << usage.output;
    });
}

TEST(InitScript, LeavesAProcessAloneThatAStalePidFileNames)
{
    sandbox::run([] {
        sandbox::tmpfs("/run");
        // This test's own process: alive, but not the daemon. A signal from
        // the script would end it (SIGHUP and SIGTERM are not caught here).
        const std::string me = std::to_string(::getpid());
        for (const std::string &content : {me + "\n", std::string("not a pid\n"), me}) {
            sandbox::write_file(kPidFile, content);
            shell::Result status = init("status");
            EXPECT_EQ(status.status, 1) << content;
            EXPECT_EQ(status.output, "torpord is not running, but " + kPidFile + " exists\n");
            EXPECT_EQ(init("reload").status, 7);
            shell::Result stop = init("stop");
            EXPECT_EQ(stop.status, 0) << stop.output;
            EXPECT_FALSE(sandbox::exists(kPidFile)) << "a stale pid file is removed";
        }
    });
}

TEST(InitScript, StartsReloadsAndStopsTheDaemon)
{
    const std::string binary = daemon_binary();
    if (binary.empty())
        GTEST_SKIP() << "daemon not built";
    // Read before the sandbox's own /tmp hides a daemon given there.
    const std::string program = sandbox::read_file(binary);
    ASSERT_FALSE(program.empty()) << "cannot read " << binary;
    sandbox::run([&] {
        // No disk, fan driver or console of the machine is reachable, and the
        // daemon's tools are stand-ins.
        sandbox::private_dev();
        sandbox::tmpfs("/run");
        sandbox::tmpfs("/sys/block");
        sandbox::writable("/sbin");
        char sbin[PATH_MAX], usr_sbin[PATH_MAX];
        if (::realpath("/sbin", sbin) == nullptr || ::realpath("/usr/sbin", usr_sbin) == nullptr ||
            std::string(sbin) != usr_sbin)
            sandbox::writable("/usr/sbin");
        sandbox::writable("/usr/local/bin");
        sandbox::writable("/etc/default");
        stand_in("/sbin/hdparm");
        stand_in("/usr/local/bin/sg_start");
        sandbox::write_file("/usr/sbin/torpord", program, 0755);
        sandbox::write_file("/etc/default/torpord", "VARNOK_DEBUG_MODE=on\nTORPORD_OPTS=-w\n");
        Console console;
        // The detached daemon becomes this process's child, so that its exit
        // status can be read.
        ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        Reaper reaper;

        shell::Result start = init("start");
        ASSERT_EQ(start.status, 0) << start.output;
        const std::string pid_line = sandbox::read_file(kPidFile);
        ASSERT_FALSE(pid_line.empty());
        reaper.pid = static_cast<pid_t>(std::strtol(pid_line.c_str(), nullptr, 10));
        const std::string pid = std::to_string(reaper.pid);
        EXPECT_EQ(pid_line, pid + "\n");
        EXPECT_EQ(start.output, "Started torpord (pid " + pid + ")\n");
        EXPECT_EQ(sandbox::read_file("/proc/" + pid + "/comm"), "torpord\n");
        EXPECT_EQ(sandbox::read_file("/proc/" + pid + "/cmdline"),
                  std::string("/usr/sbin/torpord\0-w\0", 21));
        EXPECT_TRUE(console.shows("torpord:/tmp/spindownd.conf open error")) << console.text();
        EXPECT_TRUE(file_gets(kToolLog, "/sbin/hdparm -S0 /dev/hda\n"))
            << sandbox::read_file(kToolLog);

        shell::Result status = init("status");
        EXPECT_EQ(status.status, 0);
        EXPECT_EQ(status.output, "torpord is running (pid " + pid + ")\n");
        shell::Result again = init("start");
        EXPECT_EQ(again.status, 0);
        EXPECT_EQ(again.output, "torpord is already running (pid " + pid + ")\n");
        EXPECT_EQ(sandbox::read_file(kPidFile), pid_line);

        sandbox::write_file(kConfig, "IDE:\thda\t/dev/hda\t/dev/sg0\t120\n");
        shell::Result reload = init("reload");
        EXPECT_EQ(reload.status, 0);
        EXPECT_EQ(reload.output, "Reloading torpord configuration (pid " + pid + ")\n");
        EXPECT_TRUE(console.shows("torpord:Change SpinDownTime=2")) << console.text();
        EXPECT_EQ(::kill(reaper.pid, 0), 0) << "the daemon survives its reload";

        shell::Result stop = init("stop");
        EXPECT_EQ(stop.status, 0);
        EXPECT_EQ(stop.output, "Stopped torpord (pid " + pid + ")\n");
        int wstatus = 0;
        ASSERT_EQ(::waitpid(reaper.pid, &wstatus, 0), reaper.pid);
        EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0)
            << "ended by SIGTERM, with status 0; wait status " << wstatus;
        reaper.pid = -1;
        EXPECT_FALSE(sandbox::exists(kPidFile));
        EXPECT_EQ(init("status").status, 3);
    });
}

} // namespace
