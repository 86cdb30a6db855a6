// The status file: each disk's state and figures as its samples, spin-downs,
// a missing line and a reload change them, and nothing written in a cycle
// that changes nothing; through the built torpord, and over a table set by
// hand.
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "sandbox.h"
#include "spindown_conf.h"
#include "standin.h"
#include "status.h"

namespace {

using harness::stats_line;
using harness::World;

constexpr char kStatus[] = "/var/run/torpord.status";

struct Disk {
    std::string line;   // label, device, state, minutes and spin-downs
    long long since;    // seconds since the Epoch
    long long down;     // seconds spun down
    int wakes;          // times found woken without I/O
};

// The disks of the status file, after checking its header and mode.
std::vector<Disk> status(pid_t daemon)
{
    struct stat st {};
    EXPECT_EQ(::stat(kStatus, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    std::istringstream text(sandbox::read_file(kStatus));
    std::string header;
    std::getline(text, header);
    EXPECT_EQ(header, "# torpord " + std::to_string(daemon) +
                          ": label\tdevice\tstate\tsince\tminutes\tspin-downs\tseconds-down\twakes");
    std::vector<Disk> disks;
    std::string label, device, state, since, minutes, spin_downs, down, wakes;
    while (std::getline(text, label, '\t') && std::getline(text, device, '\t') &&
           std::getline(text, state, '\t') && std::getline(text, since, '\t') &&
           std::getline(text, minutes, '\t') && std::getline(text, spin_downs, '\t') &&
           std::getline(text, down, '\t') && std::getline(text, wakes))
        disks.push_back({label + " " + device + " " + state + " " + minutes + " " + spin_downs,
                         std::stoll(since), std::stoll(down), std::stoi(wakes)});
    return disks;
}

std::vector<std::string> lines(const std::vector<Disk> &disks)
{
    std::vector<std::string> all;
    for (const Disk &d : disks)
        all.push_back(d.line);
    return all;
}

using Lines = std::vector<std::string>;

TEST(Status, FollowsEachDiskAndKeepsItsFiguresOverAReload)
{
    const std::string hda = "IDE:\thda\t/dev/hda\t/dev/sg0\t120\n";
    harness::fed(hda + "USB2:\tusbp 2\t/dev/sdb\t/dev/sg2\t120\n", false, [&](World &w,
                                                                             pid_t daemon) {
        ASSERT_EQ(::mkfifo("/var/run/torpord.status.new", 0644), 0); // never opened
        const time_t start = ::time(nullptr);
        auto serve = [&](int hda_reads, int sdb_reads) {
            w.serve(stats_line("hda", hda_reads, 1) +
                    (sdb_reads != 0 ? stats_line("sdb", sdb_reads, 1) : ""));
        };
        serve(1, 1);
        serve(1, 2); // now the file is that of the first minute
        std::vector<Disk> first = status(daemon);
        EXPECT_EQ(lines(first), (Lines{"hda hda active 2 0", "usbp 2 sdb active 2 0"}));
        for (const Disk &d : first)
            EXPECT_TRUE(d.since >= start && d.since <= ::time(nullptr)) << d.since;
        serve(1, 3);
        EXPECT_EQ(lines(status(daemon)), (Lines{"hda hda idle 2 0", "usbp 2 sdb active 2 0"}));
        auto spun_down = std::chrono::steady_clock::now();
        serve(1, 4);
        EXPECT_EQ(lines(status(daemon)),
                  (Lines{"hda hda spun-down 2 1", "usbp 2 sdb active 2 0"}));
        struct stat before {};
        ::stat(kStatus, &before);
        w.serve(""); // a sample that read nothing says nothing
        serve(1, 4); // sdb busy again, nothing changes
        struct stat after {};
        ::stat(kStatus, &after);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
        EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
        // sdb's spin-down hangs and is killed after five real seconds: it
        // stays idle, and hda has been spun down for those seconds.
        sandbox::write_file(std::string(standin::kHangPrefix) + "sg_start", "");
        serve(1, 4);
        EXPECT_EQ(lines(status(daemon)), (Lines{"hda hda spun-down 2 1", "usbp 2 sdb idle 2 0"}));
        serve(2, 0); // hda busy, sdb unplugged
        serve(2, 0);
        std::vector<Disk> woken = status(daemon);
        auto woken_at = std::chrono::steady_clock::now();
        EXPECT_EQ(lines(woken), (Lines{"hda hda active 2 1", "usbp 2 sdb unseen 2 0"}));
        EXPECT_GE(woken[0].down, 5);
        EXPECT_GE(woken[0].since, first[0].since + 5) << "hda's since is that of its activity";
        EXPECT_LE(woken[0].down, std::chrono::duration_cast<std::chrono::seconds>(
                                     woken_at - spun_down).count());
        serve(3, 4); // sdb back, its counters as they were: the file is still
                     // that of its second minute out of sight
        EXPECT_EQ(lines(status(daemon)), (Lines{"hda hda idle 2 1", "usbp 2 sdb unseen 2 0"}));
        serve(3, 4);
        EXPECT_EQ(lines(status(daemon)), (Lines{"hda hda active 2 1", "usbp 2 sdb idle 2 0"}));
        // Reloaded without sdb, hda with a new label, while the daemon waits
        // for its next sample: that sample is taken, then the new table is
        // loaded.
        ASSERT_TRUE(w.console.wait_for("torpord:checkUsbHddIO\n", 12));
        w.config("IDE:\tinternal\t/dev/hda\t/dev/sg0\t120\n");
        ::kill(daemon, SIGHUP);
        serve(4, 4);
        serve(4, 4);
        serve(4, 4);
        std::vector<Disk> reloaded = status(daemon);
        EXPECT_EQ(lines(reloaded), (Lines{"internal hda active 2 1"}));
        EXPECT_EQ(reloaded[0].down, woken[0].down);
        EXPECT_TRUE(harness::exited_zero(w.stop(daemon)));
        EXPECT_TRUE(sandbox::exists(kStatus));
    });
}

// The table by hand, six disks: a disk spun down before a reload stays so
// after it, and a spin-down it is sent again while spun down is counted and
// written, though its state does not change; a file that cannot be replaced
// leaves no temporary one behind and is written in the next cycle; time spun
// down goes on in a suspend.
TEST(Status, CountsASpinDownOfADiskAlreadySpunDown)
{
    sandbox::run([] {
        sandbox::tmpfs("/run");
        std::string conf;
        for (char disk = 'a'; disk <= 'f'; ++disk)
            conf += std::string("USB:\tp\t/dev/sd") + disk + "\t/dev/sg0\t60\n";
        sandbox::write_file("/tmp/spindownd.conf", conf);
        auto cycle = [](DiskEvent event, bool spun_down) {
            for (DiskEntry &entry : diskTable)
                statusEvent(entry, event);
            if (spun_down)
                statusEvent(diskTable[0], DiskEvent::spunDown);
            statusWrite();
        };
        const auto busy = DiskEvent::sampledBusy, idle = DiskEvent::sampledIdle;
        loadSpinDownConf();
        cycle(DiskEvent::lineBack, false);
        cycle(idle, true);
        loadSpinDownConf();
        cycle(DiskEvent::lineBack, false);
        cycle(idle, true);
        std::vector<std::string> want = {"p sda spun-down 1 2"};
        for (char disk = 'b'; disk <= 'f'; ++disk)
            want.push_back(std::string("p sd") + disk + " idle 1 0");
        std::vector<Disk> disks = status(::getpid());
        EXPECT_EQ(lines(disks), want);
        EXPECT_TRUE(disks[0].down >= 0 && disks[0].down < 600) << disks[0].down;

        ASSERT_EQ(::unlink(kStatus), 0);
        ASSERT_EQ(::mkdir(kStatus, 0755), 0);
        loadSpinDownConf();
        cycle(idle, false);
        EXPECT_FALSE(sandbox::exists(std::string(kStatus) + ".new"));
        ASSERT_EQ(::rmdir(kStatus), 0);
        cycle(idle, false); // nothing changes, but the last write is owed
        EXPECT_EQ(status(::getpid()).size(), 6u);
        statusEvent(diskTable[1], DiskEvent::woken); // found running: counted and written
        statusWrite();
        EXPECT_EQ(status(::getpid())[1].wakes, 1);
        // A suspend of a day while sda is still down: a child whose boot time
        // is a day ahead, in a time namespace of its own.
        int rc = ::unshare(CLONE_NEWTIME);
        if (rc != 0 && errno == EINVAL)
            sandbox::skip("this kernel has no time namespaces (32-bit ARM): the suspend is not checked");
        ASSERT_EQ(rc, 0) << "unshare(CLONE_NEWTIME): " << std::strerror(errno);
        std::ofstream("/proc/self/timens_offsets") << "boottime 86400 0\n";
        pid_t child = ::fork();
        if (child == 0) {
            cycle(busy, false);
            _exit(status(::getpid())[0].down >= 86400 ? 0 : 1);
        }
        int code = -1;
        ASSERT_EQ(::waitpid(child, &code, 0), child);
        EXPECT_TRUE(harness::exited_zero(code)) << "time spun down misses the suspend";
    });
}

} // namespace
