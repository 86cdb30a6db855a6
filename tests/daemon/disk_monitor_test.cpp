// checkUsbHddIO, spinDownUsbHdd and fanCtrl against a scratch
// /proc/diskstats, the stand-in tools and the stand-in fan driver.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "disk_monitor.h"
#include "harness.h"
#include "sandbox.h"
#include "spindown_conf.h"
#include "standin.h"

namespace {

using harness::stats_line;

void set_entry(size_t i, const std::string &sd, const std::string &sg, int ide, int used, int count)
{
    DiskEntry &e = diskTable[i];
    e.sd = ::strdup(sd.c_str());
    e.sg = ::strdup(sg.c_str());
    e.ide = ide;
    e.used = used;
    e.count = count;
    e.seen = 1;
}

void clear_table()
{
    for (DiskEntry &e : diskTable) {
        std::free(e.sd);
        std::free(e.sg);
        e = DiskEntry{};
    }
}

// The console text added since the last call.
std::string fresh(harness::Console &console, size_t &seen)
{
    std::string text = console.text().substr(seen);
    seen = console.text().size();
    return text;
}

void debug_on()
{
    ::setenv("VARNOK_DEBUG_MODE", "on", 1);
}

TEST(DiskstatsSplit, TakesNameReadsAndWritesOfOldAndNewKernels)
{
    struct {
        const char *line;
        bool ok;
        const char *name, *rio, *wio;
    } cases[] = {
        // 14 fields (2.6 to 4.17), 18 (discards, 4.18) and 20 (flushes, 5.5).
        {"   8       0 sda 4451 1235 233548 22572 1040 1627 21344 14740 0 20164 37312\n", true,
         "sda", "4451", "1040"},
        {" 179       1 mmcblk0p1 134 0 10064 98 2 0 2 1 0 144 99 0 0 0 0\n", true, "mmcblk0p1",
         "134", "2"},
        {" 259       0 nvme0n1 215324 53812 14297210 48021 348229 193547 17421946 219311 0 "
         "129488 283118 0 0 0 0 25110 15785\n",
         true, "nvme0n1", "215324", "348229"},
        {" 254       0 dm-0 2712 0 88434 2840 6436 0 93248 37664 0 11788 40504 0 0 0 0 0 0\n",
         true, "dm-0", "2712", "6436"},
        {"\t8\t16\tsdb\t\t11 \t0 0 0 22 0\n", true, "sdb", "11", "22"},
        {"8 0 sda 1 2 3 4 5\n", true, "sda", "1", "5\n"},
        {"8 0 sda 1 2 3 4\n", false, "", "", ""},
        {"8 0 sda 1 2 3 4          ", false, "", "", ""},
        {"", false, "", "", ""},
    };
    for (const auto &c : cases) {
        std::string line = c.line;
        char *p = line.data();
        char *field[kDiskstatsFields];
        ASSERT_EQ(diskstatsSplit(p, field, 0, kDiskstatsFields), c.ok) << c.line;
        if (c.ok) {
            EXPECT_STREQ(field[2], c.name);
            EXPECT_STREQ(field[3], c.rio);
            EXPECT_STREQ(field[7], c.wio);
        }
    }
}

TEST(CheckUsbHddIO, MatchesWholeNamesInTableOrder)
{
    sandbox::run([] {
        harness::World world;
        debug_on();
        // Names alike in their last byte or their length; sda twice, so the
        // second one is never sampled.
        set_entry(0, "a", "/dev/sg0", 0, 1, 5);
        set_entry(1, "sda", "/dev/sg1", 0, 1, 5);
        set_entry(2, "hda", "/dev/sg2", 0, 1, 5);
        set_entry(3, "sda", "/dev/sg3", 0, 1, 5);
        set_entry(4, "sdaa", "/dev/sg4", 0, 1, 5);
        set_entry(5, "d\xe9", "/dev/sg5", 0, 1, 5);
        // hda's read field is 24 characters: no counter, so no sample.
        world.diskstats(stats_line("da", 1, 1) + stats_line("xsda", 1, 1) +
                        "3 0 hda 123456789012345678901234 0 0 0 1\n" +
                        stats_line("sda", 2, 2) + stats_line("aa", 1, 1) +
                        stats_line("d\xe9", 3, 3) + stats_line("sdaa", 4, 4) +
                        stats_line("\xe9", 1, 1));
        checkUsbHddIO();
        const int counts[] = {5, 0, 5, 5, 0, 0};
        for (size_t i = 0; i < 6; ++i)
            EXPECT_EQ(diskTable[i].count, counts[i]) << "entry " << i;
        EXPECT_STREQ(diskTable[3].rio, "");
        EXPECT_STREQ(diskTable[5].wio, "3");
    });
}

TEST(CheckUsbHddIO, TextEndsAtANulByte)
{
    sandbox::run([] {
        harness::World world;
        debug_on();
        set_entry(0, "sda", "/dev/sg1", 0, 1, 0);
        set_entry(1, "sdb", "/dev/sg2", 0, 1, 0);
        set_entry(2, "sdc", "/dev/sg3", 0, 1, 0);
        using namespace std::string_literals;
        world.diskstats("8 0 sda 1 0 0 0 2\0 0 0\n"s + "8 16 sdb 3 0 0\0 0 4\n"s +
                        "8 32 sdc 5 0 0 0 6\0\0\n"s + stats_line("sda", 9, 9));
        checkUsbHddIO();
        EXPECT_EQ(world.console.text(), "torpord:checkUsbHddIO\n"
                                        "torpord:sda(_0): rio = 1, wio = 2\n"
                                        "torpord:sdc(_0): rio = 5, wio = 6\n"
                                        "torpord:sda(_0): rio = 9, wio = 9\n");
        EXPECT_STREQ(diskTable[1].rio, "");

        // A line whose NUL is read in one read and its newline in the next
        // (lines of 100 bytes up to 65,500; the 64 KiB read ends behind the
        // NUL): its text ends at the NUL, so it has too few fields.
        std::string big;
        while (big.size() < 65500)
            big += "7 0 filler" + std::string(89, 'f') + "\n";
        big += "8 48 sdd 5 0\0 0 0 7 "s + std::string(60, 'y') + "\n" + stats_line("sdc", 8, 8);
        set_entry(3, "sdd", "/dev/sg4", 0, 1, 0);
        world.diskstats(big);
        size_t seen = world.console.text().size();
        checkUsbHddIO();
        EXPECT_EQ(fresh(world.console, seen),
                  "torpord:checkUsbHddIO\ntorpord:sdc(_0): rio = 8, wio = 8\n");
    });
}

TEST(CheckUsbHddIO, CountsUnchangedSamplesAndSwitchesTheFanOnAtActivity)
{
    struct Step {
        std::string diskstats;
        int hda, sda, sdb; // counts after the sample
        size_t fan_calls;
    };
    const std::vector<Step> steps = {
        {stats_line("hda", 1, 1) + stats_line("sda", 5, 7) + stats_line("sdb", 3, 3), 0, 0, 0, 1},
        {stats_line("hda", 1, 1) + stats_line("sda", 5, 7) + stats_line("sdb", 3, 3), 1, 1, 1, 0},
        {stats_line("hda", 1, 1) + stats_line("sda", 5, 8), 2, 0, 1, 0},
        {stats_line("hda", 2, 1) + stats_line("sda", 5, 8) + stats_line("sdb", 3, 3), 0, 1, 2, 1},
        {stats_line("hda", 2, 1) + stats_line("sda", 5, 8) + stats_line("sda1", 9, 9) +
             "  8 16 sdb 9 0 0 0\n" + stats_line("sdb", 3, 3),
         1, 2, 3, 0},
        {stats_line("sdab", 1, 1) + stats_line("loop0", 1, 1) + "\n\n", 1, 2, 3, 0},
        {stats_line("hda", 2, 2) + stats_line("hda", 3, 3), 0, 2, 3, 2},
    };
    sandbox::run([&] {
        harness::World world;
        debug_on();
        set_entry(0, "hda", "/dev/sg0", 1, 1, 0);
        set_entry(1, "sda", "/dev/sg1", 0, 1, 0);
        set_entry(2, "sdb", "/dev/sg2", 0, 1, 0);
        size_t seen = 0;
        for (size_t i = 0; i < steps.size(); ++i) {
            SCOPED_TRACE("step " + std::to_string(i + 1));
            world.diskstats(steps[i].diskstats);
            EXPECT_EQ(checkUsbHddIO(), 0);
            EXPECT_EQ(diskTable[0].count, steps[i].hda);
            EXPECT_EQ(diskTable[1].count, steps[i].sda);
            EXPECT_EQ(diskTable[2].count, steps[i].sdb);
            std::string text = fresh(world.console, seen);
            EXPECT_EQ(harness::count(text, "torpord:fanCtrl open error!\n"), steps[i].fan_calls);
            if (i == 2) {
                EXPECT_EQ(text, "torpord:checkUsbHddIO\ntorpord:hda(_1): rio = 1, wio = 1\n"
                                "torpord:sda(_1): rio = 5, wio = 8\n");
            }
        }
        EXPECT_STREQ(diskTable[1].rio, "5");
        EXPECT_STREQ(diskTable[1].wio, "8");
    });
}

TEST(CheckUsbHddIO, ReadsLargeFilesAndLongLinesInPieces)
{
    std::string big;
    for (int i = 0; big.size() < 200 * 1024; ++i)
        big += stats_line("loop" + std::to_string(i), i, i);
    // The first 1023 characters are a piece of their own; the rest reads as
    // the line of sdb.
    big += std::string(1023, 'x') + stats_line("sdb", 11, 22);
    big += stats_line("sda", 5, 7);
    sandbox::run([&] {
        harness::World world;
        debug_on();
        set_entry(0, "sda", "/dev/sg1", 0, 1, 0);
        set_entry(1, "sdb", "/dev/sg2", 0, 1, 0);
        world.diskstats(big);
        checkUsbHddIO();
        checkUsbHddIO();
        EXPECT_EQ(diskTable[0].count, 1);
        EXPECT_EQ(diskTable[1].count, 1);
        EXPECT_EQ(world.console.text(),
                  "torpord:checkUsbHddIO\ntorpord:sdb(_0): rio = 11, wio = 22\n"
                  "torpord:sda(_0): rio = 5, wio = 7\n"
                  "torpord:checkUsbHddIO\ntorpord:sdb(_0): rio = 11, wio = 22\n"
                  "torpord:sda(_0): rio = 5, wio = 7\n");
    });
}

TEST(CheckUsbHddIO, EmptyTableAndMissingFile)
{
    sandbox::run([] {
        harness::World world;
        debug_on();
        world.diskstats(stats_line("sda", 1, 1));
        EXPECT_EQ(checkUsbHddIO(), 0);
        EXPECT_EQ(spinDownUsbHdd(1), 0);
        EXPECT_EQ(world.console.text(), "torpord:checkUsbHddIO\ntorpord:spinDownUsbHdd\n");
        set_entry(0, "sda", "/dev/sg1", 0, 1, 3);
        sandbox::tmpfs("/proc");
        EXPECT_EQ(checkUsbHddIO(), 1);
        EXPECT_EQ(diskTable[0].count, 3);
        EXPECT_STREQ(diskTable[0].rio, "");
        // Its count is at the threshold, but no sample saw it this cycle.
        spinDownUsbHdd(3);
        EXPECT_EQ(world.console.text(), "torpord:checkUsbHddIO\ntorpord:spinDownUsbHdd\n"
                                        "torpord:checkUsbHddIO\n"
                                        "torpord:/proc/diskstats open error\n"
                                        "torpord:spinDownUsbHdd\n"
                                        "torpord:sda(0): used=1, count=3, minute=3\n");
    });
}

TEST(SpinDownUsbHdd, RunsTheDisksCommandOnceItsCountEqualsTheMinute)
{
    struct Case {
        const char *name;
        std::string sd, sg;
        int ide, used, count;
        const char *console; // nullptr: not compared
        std::string log;
        std::string restart = {}; // a SCSI unit whose allow_restart is 0: "rw" or "ro"
    };
    const std::vector<Case> cases = {
        {"USB at the threshold", "sda", "/dev/sg1", 0, 1, 3,
         "torpord:spinDownUsbHdd\ntorpord:sda(0): used=1, count=3, minute=3\n"
         "torpord:USB SPINDOWN!\n",
         "run: /usr/local/bin/sg_start /dev/sg1 0\n"},
        {"past the threshold", "sda", "/dev/sg1", 0, 1, 4,
         "torpord:spinDownUsbHdd\ntorpord:sda(0): used=1, count=4, minute=3\n", ""},
        {"below the threshold", "sda", "/dev/sg1", 0, 1, 2, nullptr, ""},
        {"not in use", "sda", "/dev/sg1", 0, 0, 3, nullptr, ""},
        {"internal disk, driver missing", "hda", "/dev/sg0", 1, 1, 3,
         "torpord:spinDownUsbHdd\ntorpord:hda(0): used=1, count=3, minute=3\n"
         "torpord:IDE+FAN SPINDOWN!\ntorpord:fanCtrl open error!\n",
         "run: /sbin/hdparm -y /dev/hda\n"},
        {"sg exactly as written", "sdb", "/dev/sg 1", 0, 1, 3, nullptr,
         "run: /usr/local/bin/sg_start '/dev/sg 1' 0\n"},
        {"long device name whole", std::string(1023, 'h'), "x", 1, 1, 3, nullptr,
         "run: /sbin/hdparm -y /dev/" + std::string(1023, 'h') + "\n"},
        {"long sg whole", "sdc", std::string(2000, 's'), 0, 1, 3, nullptr,
         "run: /usr/local/bin/sg_start " + std::string(2000, 's') + " 0\n"},
        {"unit allowed to restart first", "sdd", "/dev/sg4", 0, 1, 3, nullptr,
         "run: /usr/local/bin/sg_start /dev/sg4 0\n", "rw"},
        {"unit that cannot be allowed", "sde", "/dev/sg5", 0, 1, 3,
         "torpord:spinDownUsbHdd\ntorpord:sde(0): used=1, count=3, minute=3\n"
         "torpord:USB SPINDOWN SKIPPED, CANNOT SET allow_restart!\n", "", "ro"},
    };
    sandbox::run([&] {
        harness::World world;
        harness::require_programs();
        debug_on();
        size_t seen = 0;
        for (const Case &c : cases) {
            SCOPED_TRACE(c.name);
            set_entry(0, c.sd, c.sg, c.ide, c.used, c.count);
            // As sysfs shows a unit: the disk's device link names its H:C:T:L.
            const std::string unit = "/sys/block/units/" + c.sd + "/1:0:0:0";
            const std::string attribute = unit + "/scsi_disk/1:0:0:0/allow_restart";
            if (!c.restart.empty()) {
                std::filesystem::create_directories(unit + "/scsi_disk/1:0:0:0");
                std::filesystem::create_directories("/sys/block/" + c.sd);
                std::filesystem::create_directory_symlink("../" + unit.substr(11), "/sys/block/" + c.sd + "/device");
                sandbox::write_file(attribute, "0\n");
                if (c.restart == "ro")
                    sandbox::read_only(unit);
            }
            EXPECT_EQ(spinDownUsbHdd(3), 0);
            if (!c.restart.empty()) {
                EXPECT_EQ(sandbox::read_file(attribute), c.restart == "ro" ? "0\n" : "1\n");
            }
            std::string text = fresh(world.console, seen);
            if (c.console != nullptr) {
                EXPECT_EQ(text, c.console);
            }
            EXPECT_EQ(world.tool_log(), c.log);
            sandbox::write_file(standin::kLog, "");
            clear_table();
        }
    });
}

TEST(SpinDownUsbHdd, WalkEndsAtTheFirstEntryWithoutDeviceAndSkipsAMissingSg)
{
    sandbox::run([] {
        harness::World world;
        debug_on();
        set_entry(0, "sda", "/dev/sg1", 0, 1, 1);
        set_entry(2, "sdc", "/dev/sg3", 0, 1, 1);
        std::free(diskTable[0].sg);
        diskTable[0].sg = nullptr;
        spinDownUsbHdd(1);
        EXPECT_EQ(world.console.text(), "torpord:spinDownUsbHdd\n"
                                        "torpord:sda(0): used=1, count=1, minute=1\n"
                                        "torpord:USB SPINDOWN!\n");
        EXPECT_EQ(world.tool_log(), "");
        EXPECT_EQ(diskTable[0].status.spinDowns, 0) << "no command, so not spun down";

        // A full table: the walk ends after its sixth entry.
        clear_table();
        for (char disk = 'a'; disk <= 'f'; ++disk)
            set_entry(static_cast<size_t>(disk - 'a'), std::string("sd") + disk, "/dev/sg1", 0, 1, 0);
        spinDownUsbHdd(1);
        EXPECT_EQ(harness::count(world.console.text(), "count=0, minute=1"), 6u);
    });
}

TEST(SpinDownUsbHdd, WithWakeProbesAsksAStoppedDiskEachIntervalUntilAnAnswerSaysNeither)
{
    // TEST UNIT READY's answers: NOT READY 04/02 in fixed and descriptor
    // sense, good status, a unit becoming ready (04/01), UNIT ATTENTION with
    // 04/02, a lost bridge.
    unsigned char fixed[18] = {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x04, 0x02};
    unsigned char descriptor[8] = {0x72, 0x02, 0x04, 0x02};
    unsigned char attention[8] = {0x72, 0x06, 0x04, 0x02};
    unsigned char becoming[18] = {0xf0, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x04, 0x01};
    auto answer = [](unsigned char *sense, unsigned char len, unsigned short host = 0) {
        sg_io_hdr io{};
        io.status = 0x02;
        io.info = SG_INFO_CHECK;
        io.sbp = sense;
        io.sb_len_wr = len;
        io.host_status = host;
        return io;
    };
    sg_io_hdr good{};
    EXPECT_EQ(unitState(0, answer(fixed, 18)), UnitState::stopped);
    EXPECT_EQ(unitState(0, answer(descriptor, 8)), UnitState::stopped);
    EXPECT_EQ(unitState(0, good), UnitState::running);
    EXPECT_EQ(unitState(-1, good), UnitState::unknown);
    EXPECT_EQ(unitState(0, answer(becoming, 18)), UnitState::unknown);
    EXPECT_EQ(unitState(0, answer(attention, 8)), UnitState::unknown);
    EXPECT_EQ(unitState(0, answer(fixed, 13)), UnitState::unknown);
    EXPECT_EQ(unitState(0, answer(fixed, 18, 0x03)), UnitState::unknown);
    sandbox::run([] {
        harness::World world;
        harness::require_programs();
        for (bool on : {false, true}) {
            probeWakes = on;
            set_entry(0, "sda", "/dev/sg9", 0, 1, 3);
            spinDownUsbHdd(3);
            EXPECT_EQ(diskTable[0].asleep, on ? 1 : 0);
            diskTable[0].count = 5; // not a whole interval on: not asked
            spinDownUsbHdd(3);
            EXPECT_EQ(diskTable[0].asleep, on ? 1 : 0);
            diskTable[0].count = 6; // no sg node answers: left alone
            spinDownUsbHdd(3);
            EXPECT_EQ(diskTable[0].asleep, 0);
            EXPECT_EQ(world.tool_log(), "run: /usr/local/bin/sg_start /dev/sg9 0\n");
            sandbox::write_file(standin::kLog, "");
            clear_table();
        }
    });
}

// With the stand-in driver mounted on /dev/leddrv.
void with_fan(const std::function<void(harness::World &)> &body)
{
    sandbox::run([&] {
        sandbox::own_pids([&] {
            harness::World world;
            debug_on();
            world.start_fan();
            body(world);
        });
    });
}

TEST(FanCtrl, HandsTheStateByteToTheDriver)
{
    with_fan([](harness::World &world) {
        EXPECT_EQ(fanCtrl(1), 0);
        EXPECT_EQ(fanCtrl(0), 0);
        EXPECT_EQ(world.tool_log(), "fan: 1\nfan: 0\n");
        EXPECT_EQ(world.console.text(), "");
    });
}

TEST(FanCtrl, RetriesAFailedRequestAfterAWholeSecondWhateverSignalsCome)
{
    with_fan([](harness::World &world) {
        sandbox::write_file(standin::kFanFail, "2\n");
        auto start = std::chrono::steady_clock::now();
        {
            harness::Hangups hangups;
            EXPECT_EQ(fanCtrl(1), 0);
        }
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1950));
        EXPECT_EQ(world.tool_log(), "fan: fail\nfan: fail\nfan: 1\n");
        EXPECT_EQ(world.console.text(), "");
    });
}

TEST(FanCtrl, DriverThatCannotBeOpenedIsNotRetried)
{
    with_fan([](harness::World &world) {
        sandbox::write_file(standin::kFanAbsent, "");
        EXPECT_EQ(fanCtrl(1), 1);
        EXPECT_EQ(world.tool_log(), "");
        EXPECT_EQ(world.console.text(), "torpord:fanCtrl open error!\n");
    });
}

} // namespace
