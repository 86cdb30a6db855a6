// A thousand reload-and-sample cycles, with the status file kept over each
// reload, leak nothing and touch no freed memory: checked by memcheck when
// the test runs under valgrind, by LeakSanitizer in the ASan build.
#include <unistd.h>
#include <valgrind/memcheck.h>

#include <gtest/gtest.h>

#include <string>

#include "disk_monitor.h"
#include "harness.h"
#include "sandbox.h"
#include "spindown_conf.h"
#include "status.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define TORPOR_LSAN 1
#endif

namespace {

using harness::stats_line;

TEST(DaemonLeaks, ThousandReloadAndSampleCyclesLeakNothing)
{
#ifndef TORPOR_LSAN
    if (!RUNNING_ON_VALGRIND)
        GTEST_SKIP() << "only meaningful under valgrind (ctest runs it so) or LeakSanitizer";
#endif
    sandbox::run([] {
        harness::World world;
        world.config("IDE:\thda\t/dev/hda\t/dev/sg0\t600\n"
                     "USB1:\tusbp1\t/dev/sda\t/dev/sg1\t600\n"
                     "USB2:\tusbp2\t/dev/sdb\t/dev/sg2\t600\n"
                     "USB3:\tusbp3\t/dev/sdc\t/dev/sg3\t600\n"
                     "USB4:\tusbp4\t/dev/sdd\t/dev/sg4\t600\n"
                     "USB5:\tusbp5\t/dev/sde\t/dev/sg5\t600\n");
        auto sample = [&](long i) {
            world.diskstats(stats_line("hda", i, i) + stats_line("sda", i / 2, 1) +
                            stats_line("sdb", 1, i / 3) + stats_line("sdc", 4, 4) +
                            stats_line("sdd", i, 0) + stats_line("sde", i % 2, i % 3));
            checkUsbHddIO();
        };
        for (long i = 0; i < 1000; ++i) {
            reloadRequested = 1;
            loadSpinDownConf();
            sample(i);
            sample(i + 1); // stored counter texts replaced
            sample(i + 1);
            spinDownUsbHdd(SpinDownTime);
            statusWrite();
        }
        EXPECT_EQ(diskTable[3].count, 2);
        ::unlink("/tmp/spindownd.conf");
        loadSpinDownConf();
#ifdef TORPOR_LSAN
        EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#else
        VALGRIND_DO_LEAK_CHECK;
        unsigned long leaked = 0, dubious = 0, reachable = 0, suppressed = 0;
        VALGRIND_COUNT_LEAKS(leaked, dubious, reachable, suppressed);
        EXPECT_EQ(leaked, 0u);
        EXPECT_EQ(dubious, 0u);
        (void)reachable;
        (void)suppressed;
#endif
    });
}

} // namespace
