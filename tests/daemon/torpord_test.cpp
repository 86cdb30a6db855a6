// The built torpord, unchanged, in the sandbox: time sped up, a console
// FIFO, the stand-in tools and fan driver, a /proc/diskstats we write.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "harness.h"
#include "sandbox.h"
#include "standin.h"

namespace {

using harness::exited_zero;
using harness::fed;
using harness::in_world;
using harness::stats_line;
using harness::World;

std::string trace(const std::string &message)
{
    return "torpord:" + message + "\n";
}

std::string conf_line(const char *ide, const char *sd, const char *sg, int seconds)
{
    return std::string(ide) + "\tusbp1\t/dev/" + sd + "\t" + sg + "\t" + std::to_string(seconds) +
           "\n";
}

std::string sampled(const char *sd, int count, int rio, int wio)
{
    return trace(std::string(sd) + "(_" + std::to_string(count) +
                 "): rio = " + std::to_string(rio) + ", wio = " + std::to_string(wio));
}

std::string walked(const char *sd, int count, int minute)
{
    return trace(std::string(sd) + "(0): used=1, count=" + std::to_string(count) +
                 ", minute=" + std::to_string(minute));
}

// A cycle of one disk: its sample, anything the sample did, the walk and
// anything the spin-down did.
std::string one_disk_cycle(const std::string &sample, const std::string &walk,
                           const std::string &after_sample = "", const std::string &after_walk = "")
{
    return trace("checkUsbHddIO") + sample + after_sample + trace("spinDownUsbHdd") + walk +
           after_walk;
}

// Serves text to the next n samples.
void serve(World &w, const std::string &text, int n = 1)
{
    for (int i = 0; i < n; ++i)
        w.serve(text);
}

constexpr char kSgStartRun[] = "run: /usr/local/bin/sg_start /dev/sg1 0\n";

TEST(Torpord, StartsTracesAndEndsOnSigtermLeavingThePidFile)
{
    fed(conf_line("USB1:", "sda", "/dev/sg1", 600), false, [](World &w, pid_t daemon) {
        ASSERT_NE(daemon, 0);
        serve(w, stats_line("sda", 5, 7), 2);
        EXPECT_EQ(w.cycle(1), one_disk_cycle(sampled("sda", 0, 5, 7), walked("sda", 0, 10)));
        EXPECT_EQ(w.console.text().substr(0, w.console.text().find("torpord:checkUsbHddIO")),
                  trace("start daemon open driver\n") + "run: /sbin/hdparm -S0 /dev/hda\n" +
                      trace("0: ide=USB1:, usbp=usbp1, sd=sda, sg=/dev/sg1, sec=600\n") +
                      trace("Now SpinDownTime=10") + trace("Change SpinDownTime=10"));
        EXPECT_EQ(sandbox::read_file("/var/run/torpord.pid"), std::to_string(daemon) + "\n");
        struct stat pid_file {};
        EXPECT_EQ(::stat("/var/run/torpord.pid", &pid_file), 0);
        EXPECT_EQ(pid_file.st_mode & 07777, 0644u);
        EXPECT_EQ(w.cycle(2), one_disk_cycle(sampled("sda", 0, 5, 7), walked("sda", 1, 10)));
        // A minute is sixty sleeps of a second: two of them so far.
        std::string minute;
        for (int second = 0; second < 60; ++second)
            minute += "1000\n";
        EXPECT_EQ(w.sleeps(), minute + minute);
        // Descriptors 0 to 255 were closed and 0-2 put on /dev/null; the
        // start had 255 and 256 open.
        EXPECT_EQ(harness::descriptors(daemon), "0 /dev/null\n1 /dev/null\n2 /dev/null\n"
                                                "256 /dev/null\n");
        // Sent while the daemon waits for its third sample, so that no trace
        // of its own follows.
        EXPECT_TRUE(exited_zero(w.stop(daemon)));
        std::string text = w.console.text();
        EXPECT_EQ(text.substr(text.rfind("torpord:")), trace("SIGTERM close fileds."));
        EXPECT_TRUE(sandbox::exists("/var/run/torpord.pid"));
    });
}

TEST(Torpord, UsbDiskSpunDownOnceNotAgainOutOfSightAgainAfterActivityAndANewIdlePeriod)
{
    fed(conf_line("USB1:", "sda", "/dev/sg1", 60), false, [](World &w, pid_t daemon) {
        serve(w, stats_line("sda", 5, 7), 2);
        serve(w, ""); // unplugged: its count stays at the threshold
        serve(w, stats_line("sda", 5, 7));
        serve(w, stats_line("sda", 6, 7), 4);
        const std::string usb = trace("USB SPINDOWN!") + kSgStartRun;
        EXPECT_EQ(w.cycle(1), one_disk_cycle(sampled("sda", 0, 5, 7), walked("sda", 0, 1)));
        EXPECT_EQ(w.cycle(2),
                  one_disk_cycle(sampled("sda", 0, 5, 7), walked("sda", 1, 1), "", usb));
        EXPECT_EQ(w.cycle(3), one_disk_cycle("", walked("sda", 1, 1)));
        EXPECT_EQ(w.cycle(4), one_disk_cycle(sampled("sda", 1, 5, 7), walked("sda", 2, 1)));
        EXPECT_EQ(w.cycle(5), one_disk_cycle(sampled("sda", 2, 6, 7), walked("sda", 0, 1)));
        EXPECT_EQ(w.cycle(6),
                  one_disk_cycle(sampled("sda", 0, 6, 7), walked("sda", 1, 1), "", usb));
        EXPECT_EQ(w.cycle(8), one_disk_cycle(sampled("sda", 2, 6, 7), walked("sda", 3, 1)));
        EXPECT_EQ(harness::count(w.console.text(), kSgStartRun), 2u);
        EXPECT_TRUE(exited_zero(w.stop(daemon)));
    });
}

TEST(Torpord, FanFollowsTheInternalDiskAndGoesOffBeforeItsSpinDown)
{
    fed(conf_line("IDE:", "hda", "/dev/sg0", 120), true, [](World &w, pid_t daemon) {
        serve(w, stats_line("hda", 1, 1));
        serve(w, stats_line("hda", 2, 1));
        serve(w, stats_line("hda", 2, 2), 3);
        serve(w, stats_line("hda", 3, 2));
        const std::string on = "fan: 1\n";
        EXPECT_EQ(w.cycle(1), one_disk_cycle(sampled("hda", 0, 1, 1), walked("hda", 0, 2), on));
        EXPECT_EQ(w.cycle(2), one_disk_cycle(sampled("hda", 0, 2, 1), walked("hda", 0, 2), on));
        EXPECT_EQ(w.cycle(3), one_disk_cycle(sampled("hda", 0, 2, 2), walked("hda", 0, 2), on));
        EXPECT_EQ(w.cycle(4), one_disk_cycle(sampled("hda", 0, 2, 2), walked("hda", 1, 2)));
        EXPECT_EQ(w.cycle(5), one_disk_cycle(sampled("hda", 1, 2, 2), walked("hda", 2, 2), "",
                                             trace("IDE+FAN SPINDOWN!") + "fan: 0\n" +
                                                 "run: /sbin/hdparm -y /dev/hda\n"));
        EXPECT_EQ(w.cycle(6), one_disk_cycle(sampled("hda", 2, 3, 2), walked("hda", 0, 2), on));
        // SIGTERM while hdparm -y hangs: nobody would switch the fan on later.
        sandbox::write_file(std::string(standin::kHangPrefix) + "hdparm", "");
        serve(w, stats_line("hda", 3, 2), 2);
        ASSERT_TRUE(w.console.wait_for("hang["));
        EXPECT_TRUE(exited_zero(w.stop(daemon)));
        const std::string text = w.console.text();
        EXPECT_EQ(text.substr(text.rfind("fan:")), on + trace("SIGTERM close fileds."));
    });
}

TEST(Torpord, FailingOrMissingFanDriverDoesNotStopTheSpinDown)
{
    fed(conf_line("IDE:", "hda", "/dev/sg0", 60), true, [](World &w, pid_t daemon) {
        const std::string hdparm = "run: /sbin/hdparm -y /dev/hda\n";
        serve(w, stats_line("hda", 1, 1));
        ASSERT_TRUE(w.after_sample(1));
        sandbox::write_file(standin::kFanFail, "5\n");
        serve(w, stats_line("hda", 1, 1));
        ASSERT_TRUE(w.console.wait_for(hdparm));
        sandbox::write_file(standin::kFanAbsent, "");
        serve(w, stats_line("hda", 2, 1), 2);
        const std::string fail = "fan: fail\n";
        EXPECT_EQ(w.cycle(2),
                  one_disk_cycle(sampled("hda", 0, 1, 1), walked("hda", 1, 1), "",
                                 trace("IDE+FAN SPINDOWN!") + fail + fail + fail + fail + fail +
                                     trace("fanCtrl ioctl error!") + hdparm));
        const std::string no_driver = trace("fanCtrl open error!");
        EXPECT_EQ(w.cycle(3),
                  one_disk_cycle(sampled("hda", 1, 2, 1), walked("hda", 0, 1), no_driver));
        EXPECT_EQ(w.cycle(4), one_disk_cycle(sampled("hda", 0, 2, 1), walked("hda", 1, 1), "",
                                             trace("IDE+FAN SPINDOWN!") + no_driver + hdparm));
        EXPECT_TRUE(exited_zero(w.stop(daemon)));
    });
}

TEST(Torpord, SighupReloadsAndRestartsTheCounts)
{
    fed(conf_line("USB1:", "sda", "/dev/sg1", 180), false, [](World &w, pid_t daemon) {
        const std::string stats = stats_line("sda", 5, 7);
        serve(w, stats, 2);
        // While the daemon waits for its third sample: the reload follows
        // that cycle's walk.
        ASSERT_TRUE(w.console.wait_for("torpord:checkUsbHddIO\n", 3));
        w.config(conf_line("USB1:", "sda", "/dev/sg1", 120));
        ::kill(daemon, SIGHUP);
        serve(w, stats, 4);
        const std::string reload =
            trace("0: ide=USB1:, usbp=usbp1, sd=sda, sg=/dev/sg1, sec=120\n") +
            trace("Now SpinDownTime=3") + trace("Change SpinDownTime=2");
        EXPECT_EQ(w.cycle(3),
                  one_disk_cycle(sampled("sda", 1, 5, 7), walked("sda", 2, 3)) + reload);
        EXPECT_EQ(w.cycle(4), one_disk_cycle(sampled("sda", 0, 5, 7), walked("sda", 0, 2)));
        EXPECT_EQ(w.cycle(6), one_disk_cycle(sampled("sda", 1, 5, 7), walked("sda", 2, 2), "",
                                             trace("USB SPINDOWN!") + kSgStartRun));
        EXPECT_EQ(harness::count(w.console.text(), kSgStartRun), 1u);
        EXPECT_TRUE(exited_zero(w.stop(daemon)));
    });
}

TEST(Torpord, SighupCutsTheMinuteShortInRealTime)
{
    in_world([](World &w) {
        w.config(conf_line("USB1:", "sda", "/dev/sg1", 600));
        w.diskstats(stats_line("sda", 5, 7));
        pid_t daemon = w.start({"on", false});
        ASSERT_TRUE(w.console.wait_for("count=0, minute=10\n"));
        ::kill(daemon, SIGHUP);
        // Without the cut the next cycle would begin a minute from now.
        EXPECT_TRUE(w.console.wait_for("count=0, minute=10\n", 2, 45));
        EXPECT_EQ(harness::count(w.console.text(), "Change SpinDownTime=10"), 2u);
        EXPECT_TRUE(exited_zero(w.stop(daemon)));
    });
}

TEST(Torpord, HangingToolIsKilledAndTheCycleGoesOn)
{
    in_world([](World &w) {
        w.tools_on_console();
        sandbox::write_file(std::string(standin::kHangPrefix) + "sg_start", "");
        w.config(conf_line("USB1:", "sda", "/dev/sg1", 60));
        w.diskstats(stats_line("sda", 5, 7));
        pid_t daemon = w.start();
        std::string second = w.cycle(2);
        size_t hang = second.find("hang[");
        ASSERT_NE(hang, std::string::npos) << second;
        EXPECT_EQ(second.substr(0, hang),
                  one_disk_cycle(sampled("sda", 0, 5, 7), walked("sda", 1, 1), "",
                                 trace("USB SPINDOWN!") + kSgStartRun));
        std::string tool = second.substr(hang + 5, second.find(']', hang) - hang - 5);
        EXPECT_EQ(w.cycle(3), one_disk_cycle(sampled("sda", 1, 5, 7), walked("sda", 2, 1)));
        EXPECT_FALSE(sandbox::exists("/proc/" + tool)) << "the hanging tool was not reaped";
        EXPECT_TRUE(exited_zero(w.stop(daemon)));
    });
}

TEST(Torpord, RunsWithoutItsPidFileWhenVarRunIsReadOnly)
{
    in_world([](World &w) {
        sandbox::read_only("/run");
        w.config(conf_line("USB1:", "sda", "/dev/sg1", 60));
        w.diskstats(stats_line("sda", 5, 7));
        pid_t daemon = w.start();
        ASSERT_NE(daemon, 0);
        EXPECT_TRUE(w.console.wait_for("torpord:USB SPINDOWN!\n"));
        EXPECT_FALSE(sandbox::exists("/var/run/torpord.pid"));
        EXPECT_TRUE(exited_zero(w.stop(daemon)));
    });
}

// The console stops taking writes: a FIFO that nobody reads, or whose pipe
// is full.
void console_without_reader()
{
    ASSERT_EQ(::unlink("/dev/console"), 0);
    ASSERT_EQ(::mkfifo("/dev/console", 0666), 0);
}

void full_console()
{
    console_without_reader();
    int fd = ::open("/dev/console", O_RDWR | O_NONBLOCK | O_CLOEXEC); // kept open
    ASSERT_GE(::fcntl(fd, F_SETPIPE_SZ, 4096), 0);
    char block[512] = {};
    while (::write(fd, block, sizeof block) > 0) {
    }
}

struct Stuck {
    const char *name;
    void (*make)();
    const char *debug;
    const char *waited_for; // in the stand-ins' log
};

void PrintTo(const Stuck &stuck, std::ostream *os)
{
    *os << stuck.name;
}

class TorpordStuck : public testing::TestWithParam<Stuck> {};

// Whatever holds the daemon, a trace is given up after a tool's five
// seconds, and SIGTERM ends it at once with status 0, killing the child it
// waits for.
TEST_P(TorpordStuck, GoesOnAndEndsOnSigtermLeavingNothingRunning)
{
    in_world([](World &w) {
        GetParam().make();
        w.config(conf_line("USB1:", "sda", "/dev/sg1", 60));
        w.diskstats(stats_line("sda", 5, 7));
        pid_t daemon = w.start({GetParam().debug, true});
        EXPECT_TRUE(w.wait_for_tool(GetParam().waited_for)) << w.tool_log();
        EXPECT_TRUE(exited_zero(w.stop(daemon)));
        EXPECT_EQ(harness::survivors(), "");
    });
}

INSTANTIATE_TEST_SUITE_P(
    Faults, TorpordStuck,
    testing::Values(Stuck{"ConsoleWithoutReader", console_without_reader, "on",
                          "run: /sbin/hdparm -S0 /dev/hda\n"},
                    Stuck{"FullConsole", full_console, "on", "run: /sbin/hdparm -S0 /dev/hda\n"},
                    Stuck{"HangingTool",
                          [] { sandbox::write_file(std::string(standin::kHangPrefix) + "sg_start", ""); },
                          nullptr, "hang["}),
    [](const testing::TestParamInfo<Stuck> &info) { return std::string(info.param.name); });

class TorpordFailedSpinDown : public testing::TestWithParam<bool> {};

// hdparm -y ends with status 3, or cannot be started at all: the disk may
// still spin, so its fan goes on again, before the trace that says so.
TEST_P(TorpordFailedSpinDown, SwitchesTheFanOnAgain)
{
    fed(conf_line("IDE:", "hda", "/dev/sg0", 60), true, [](World &w, pid_t daemon) {
        std::string run = "run: /sbin/hdparm -y /dev/hda\n";
        if (GetParam()) {
            sandbox::write_file(std::string(standin::kExitPrefix) + "hdparm", "3\n");
        } else {
            sandbox::write_file(sandbox::scratch("not-a-program"), "", 0644);
            sandbox::bind_mount(sandbox::scratch("not-a-program"), "/sbin/hdparm");
            run = "";
        }
        serve(w, stats_line("hda", 1, 1), 2);
        EXPECT_EQ(w.cycle(2), one_disk_cycle(sampled("hda", 0, 1, 1), walked("hda", 1, 1), "",
                                             trace("IDE+FAN SPINDOWN!") + "fan: 0\n" + run +
                                                 "fan: 1\n" +
                                                 trace("IDE SPINDOWN FAILED, FAN ON!")));
        EXPECT_TRUE(exited_zero(w.stop(daemon)));
    });
}

INSTANTIATE_TEST_SUITE_P(Faults, TorpordFailedSpinDown, testing::Bool(),
                         [](const testing::TestParamInfo<bool> &info) {
                             return std::string(info.param ? "EndsWith3" : "NotExecutable");
                         });

class TorpordForkFails : public testing::TestWithParam<int> {};

// The first or the second fork of the start fails: the start ends with
// status 0, and no daemon runs.
TEST_P(TorpordForkFails, StartEndsWithoutADaemon)
{
    in_world([](World &w) {
        w.config(conf_line("USB1:", "sda", "/dev/sg1", 60));
        harness::Options options;
        options.fail_fork = GetParam();
        w.start(options);
        EXPECT_EQ(harness::survivors(), "");
        EXPECT_FALSE(sandbox::exists("/var/run/torpord.pid"));
    });
}

INSTANTIATE_TEST_SUITE_P(Faults, TorpordForkFails, testing::Values(1, 2));

class TorpordDebugOff : public testing::TestWithParam<const char *> {};

TEST_P(TorpordDebugOff, LeavesTheConsoleUntouched)
{
    in_world([](World &w) {
        w.config(conf_line("USB1:", "sda", "/dev/sg1", 60));
        w.diskstats(stats_line("sda", 5, 7));
        pid_t daemon = w.start({GetParam(), true});
        w.wait_for_tool(kSgStartRun);
        EXPECT_EQ(w.tool_log(), std::string("run: /sbin/hdparm -S0 /dev/hda\n") + kSgStartRun);
        EXPECT_TRUE(exited_zero(w.stop(daemon)));
        EXPECT_EQ(w.console.text(), "");
    });
}

INSTANTIATE_TEST_SUITE_P(Modes, TorpordDebugOff, testing::Values(nullptr, "On"),
                         [](const testing::TestParamInfo<const char *> &info) {
                             return info.param == nullptr ? std::string("Unset")
                                                          : std::string(info.param);
                         });

} // namespace
