// loadSpinDownConf against a real /tmp/spindownd.conf.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "console.h"
#include "harness.h"
#include "sandbox.h"
#include "spindown_conf.h"

namespace {

struct Disk {
    const char *sd;
    const char *sg;
    int ide;
};

constexpr int kBefore = 7; // SpinDownTime before each load

void write_conf(const std::string &text)
{
    sandbox::write_file("/tmp/spindownd.conf", text);
}

std::string line(const char *ide, const char *sd, const char *sg, const std::string &sec)
{
    return std::string(ide) + "\tplace\t/dev/" + sd + "\t" + sg + "\t" + sec + "\n";
}

void expect_table(const std::vector<Disk> &disks)
{
    for (size_t i = 0; i < kDiskTableSize; ++i) {
        const DiskEntry &e = diskTable[i];
        SCOPED_TRACE("entry " + std::to_string(i));
        EXPECT_EQ(e.count, 0);
        EXPECT_STREQ(e.rio, "");
        EXPECT_STREQ(e.wio, "");
        if (i >= disks.size()) {
            EXPECT_EQ(e.sd, nullptr);
            EXPECT_EQ(e.sg, nullptr);
            EXPECT_EQ(e.used, 0);
            EXPECT_EQ(e.ide, 0);
            continue;
        }
        ASSERT_NE(e.sd, nullptr);
        ASSERT_NE(e.sg, nullptr);
        EXPECT_STREQ(e.sd, disks[i].sd);
        EXPECT_STREQ(e.sg, disks[i].sg);
        EXPECT_EQ(e.ide, disks[i].ide);
        EXPECT_EQ(e.used, 1);
    }
}

struct Case {
    const char *name;
    std::string text;
    std::vector<Disk> disks;
    int minutes;
};

TEST(LoadSpinDownConf, FillsTheTableFromTheFile)
{
    std::string seven;
    for (int i = 0; i < 7; ++i)
        seven += line("USB:", ("sd" + std::string(1, char('a' + i))).c_str(), "/dev/sg9",
                      std::to_string(60 * (i + 1)));
    std::string piece_line = line("USB:", "sdd", "/dev/sg3", std::string(1100, '6'));
    // 1023 characters without a newline, so that the rest is a line of its own.
    std::string split_line = "USB:\tplace\t/dev/sde\t/dev/sg4\t60";
    split_line +=
        std::string(1023 - split_line.size(), ' ') + line("USB:", "sdf", "/dev/sg5", "120");
    const std::vector<Case> cases = {
        {"internal and USB disk, last line's seconds",
         line("IDE:", "hda", "/dev/sg0", "600") + line("USB1:", "sda", "/dev/sg1", "30"),
         {{"hda", "/dev/sg0", 1}, {"sda", "/dev/sg1", 0}},
         1},
        {"only empty lines", "\n\n\n", {}, kBefore},
        {"empty file", "", {}, kBefore},
        {"600 s", line("USB:", "sda", "/dev/sg1", "600"), {{"sda", "/dev/sg1", 0}}, 10},
        {"659 s", line("USB:", "sda", "/dev/sg1", "659"), {{"sda", "/dev/sg1", 0}}, 10},
        {"119 s", line("USB:", "sda", "/dev/sg1", "119"), {{"sda", "/dev/sg1", 0}}, 1},
        {"not a number", line("USB:", "sda", "/dev/sg1", "soon"), {{"sda", "/dev/sg1", 0}}, 1},
        {"leading blanks", line("USB:", "sda", "/dev/sg1", "  180s"), {{"sda", "/dev/sg1", 0}}, 3},
        {"negative", line("USB:", "sda", "/dev/sg1", "-120"), {{"sda", "/dev/sg1", 0}}, -2},
        {"runs of tabs",
         "\t\tIDE:\t\thda\t/dev/hda\t\t\t/dev/sg0\t120\n",
         {{"hda", "/dev/sg0", 1}},
         2},
        {"IDE spelled otherwise",
         line("IDE", "sda", "s", "60") + line("ide:", "sdb", "t", "60"),
         {{"sda", "s", 0}, {"sdb", "t", 0}},
         1},
        {"blanks belong to fields",
         "USB 1:\tp 1\t/dev/sd b\t/dev/sg 1\t240\n",
         {{"sd b", "/dev/sg 1", 0}},
         4},
        {"last line without newline",
         "USB:\tp\t/dev/sda\t/dev/sg1\t180",
         {{"sda", "/dev/sg1", 0}},
         3},
        {"empty lines take no entry",
         std::string("\n") + line("USB:", "sda", "a", "60") + "\n\n" +
             line("USB:", "sdb", "b", "120"),
         {{"sda", "a", 0}, {"sdb", "b", 0}},
         2},
        {"beyond six lines ignored",
         seven,
         {{"sda", "/dev/sg9", 0},
          {"sdb", "/dev/sg9", 0},
          {"sdc", "/dev/sg9", 0},
          {"sdd", "/dev/sg9", 0},
          {"sde", "/dev/sg9", 0},
          {"sdf", "/dev/sg9", 0}},
         6},
        {"outside the format skipped",
         "USB:\tp\t/dev/sdc\t/dev/sg2\n" + line("USB:", "sda", "a", "120") +
             "USB:\tp\t/dev\tsg\t600\n" + "USB:\tp\n",
         {{"sda", "a", 0}},
         2},
        {"long line read in pieces", piece_line, {{"sdd", "/dev/sg3", 0}}, INT_MAX},
        {"far below any minute",
         line("USB:", "sda", "/dev/sg1", "-" + std::string(30, '9')),
         {{"sda", "/dev/sg1", 0}},
         INT_MIN},
        {"second piece is a line", split_line, {{"sde", "/dev/sg4", 0}, {"sdf", "/dev/sg5", 0}}, 2},
    };
    sandbox::run([&] {
        for (const Case &c : cases) {
            SCOPED_TRACE(c.name);
            write_conf(c.text);
            SpinDownTime = kBefore;
            reloadRequested = 1;
            EXPECT_EQ(loadSpinDownConf(), 0);
            EXPECT_EQ(reloadRequested, 0);
            expect_table(c.disks);
            EXPECT_EQ(SpinDownTime, c.minutes);
        }
    });
}

TEST(LoadSpinDownConf, ReloadReleasesEverythingOfTheLastTable)
{
    sandbox::run([] {
        write_conf(line("USB:", "sda", "a", "60") + line("USB:", "sdb", "b", "60") +
                   line("IDE:", "hda", "c", "60"));
        loadSpinDownConf();
        for (DiskEntry &e : diskTable) {
            if (e.sd != nullptr) {
                e.count = 5;
                std::strcpy(e.rio, "1");
                std::strcpy(e.wio, "2");
            }
        }
        write_conf(line("USB:", "sdc", "d", "120"));
        loadSpinDownConf();
        expect_table({{"sdc", "d", 0}});
        sandbox::write_file("/tmp/spindownd.conf", "");
        ASSERT_EQ(::unlink("/tmp/spindownd.conf"), 0);
        reloadRequested = 1;
        EXPECT_EQ(loadSpinDownConf(), 1);
        EXPECT_EQ(reloadRequested, 0);
        expect_table({});
        EXPECT_EQ(SpinDownTime, 2);
    });
}

TEST(LoadSpinDownConf, RequestDuringTheLoadLeadsToAnotherLoad)
{
    sandbox::run([] {
        // The shell of every trace sends SIGHUP to the load and ends, so the
        // request comes while the load is under way.
        std::string shell = sandbox::scratch("sh");
        sandbox::write_file(shell, "#!/bin/busybox sh\nkill -HUP $PPID\n", 0755);
        sandbox::bind_mount(shell, "/bin/sh");
        ::setenv("VARNOK_DEBUG_MODE", "on", 1);
        ::signal(SIGHUP, [](int) { reloadRequested = 1; });
        write_conf(line("USB:", "sda", "a", "60"));
        reloadRequested = 1;
        EXPECT_EQ(loadSpinDownConf(), 0);
        EXPECT_EQ(reloadRequested, 1);
        expect_table({{"sda", "a", 0}});
    });
}

TEST(LoadSpinDownConf, ReadsOnlyARegularFileAndAlwaysEnds)
{
    const std::string conf = "/tmp/spindownd.conf";
    struct {
        const char *name;
        std::function<void()> make;
        int result;
        std::vector<Disk> disks;
    } cases[] = {
        {"link to a regular file",
         [&] { ASSERT_EQ(::symlink(sandbox::scratch("conf").c_str(), conf.c_str()), 0); }, 0,
         {{"sda", "a", 0}}},
        {"FIFO without a writer", [&] { ASSERT_EQ(::mkfifo(conf.c_str(), 0644), 0); }, 1, {}},
        {"link to /dev/zero", [&] { ASSERT_EQ(::symlink("/dev/zero", conf.c_str()), 0); }, 1, {}},
        {"directory", [&] { ASSERT_EQ(::mkdir(conf.c_str(), 0755), 0); }, 1, {}},
        {"a disk line beyond 64 KiB",
         [&] { write_conf(std::string(64 * 1024, '\n') + line("USB:", "sdb", "b", "60")); }, 0,
         {}},
    };
    sandbox::run([&] {
        ::alarm(harness::patience_seconds()); // a load that never ends fails here
        sandbox::write_file(sandbox::scratch("conf"), line("USB:", "sda", "a", "60"));
        for (const auto &c : cases) {
            SCOPED_TRACE(c.name);
            ::rmdir(conf.c_str());
            ::unlink(conf.c_str());
            c.make();
            EXPECT_EQ(loadSpinDownConf(), c.result);
            expect_table(c.disks);
        }
    });
}

TEST(LoadSpinDownConf, TracesEachLineAndTheChange)
{
    sandbox::run([] {
        sandbox::private_dev();
        harness::Console console;
        ::setenv("VARNOK_DEBUG_MODE", "on", 1);
        write_conf(
            "IDE:\thda\t/dev/hda\t/dev/sg0\t600\nshort\nUSB1:\tusbp1\t/dev/sda\t/dev/sg1\t30");
        SpinDownTime = 10;
        loadSpinDownConf();
        ::unlink("/tmp/spindownd.conf");
        loadSpinDownConf();
        EXPECT_EQ(console.text(), "torpord:0: ide=IDE:, usbp=hda, sd=hda, sg=/dev/sg0, sec=600\n\n"
                                  "torpord:1: ide=USB1:, usbp=usbp1, sd=sda, sg=/dev/sg1, sec=30\n"
                                  "torpord:Now SpinDownTime=10\n"
                                  "torpord:Change SpinDownTime=1\n"
                                  "torpord:/tmp/spindownd.conf open error\n");
    });
}

} // namespace
