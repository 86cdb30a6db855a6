// debugPrint through the appliance's shell onto a console FIFO.
#include <signal.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "console.h"
#include "harness.h"
#include "sandbox.h"

namespace {

volatile sig_atomic_t children_ended = 0;

void on_child(int)
{
    children_ended = children_ended + 1;
}

// Runs body in a sandbox whose /dev/console is a FIFO the body reads and
// whose /bin/sh is the appliance's shell, busybox (Debian's package), with
// VARNOK_DEBUG_MODE set to mode (nullptr: unset).
void with_console(const char *mode, const std::function<void(harness::Console &)> &body)
{
    sandbox::run([&] {
        sandbox::bind_mount("/bin/busybox", "/bin/sh");
        sandbox::private_dev();
        harness::Console console;
        if (mode != nullptr)
            ::setenv("VARNOK_DEBUG_MODE", mode, 1);
        else
            ::unsetenv("VARNOK_DEBUG_MODE");
        body(console);
    });
}

TEST(DebugPrint, ShowsEveryMessageAsGivenAndRunsNothingOfIt)
{
    const char *messages[] = {
        "start daemon open driver\n",
        "checkUsbHddIO",
        "$(touch /tmp/pwned) `touch /tmp/pwned` $HOME ${PATH} \"quoted\" 'single'",
        "back\\slash \\c \\n \\\\ end\\",
        "; touch /tmp/pwned | & > /tmp/pwned < * ? ~ # !",
        "",
    };
    with_console("on", [&](harness::Console &console) {
        std::string expected;
        for (const char *message : messages) {
            debugPrint(message);
            expected += std::string("torpord:") + message + "\n";
        }
        EXPECT_EQ(console.text(), expected);
        EXPECT_FALSE(sandbox::exists("/tmp/pwned"));
    });
}

TEST(DebugPrint, FullyEscapedLongestMessageIsNotCutLongerOnesAre)
{
    std::string longest;
    for (size_t i = 0; longest.size() < kTraceSize - 1; ++i)
        longest += "\\$\"`"[i % 4];
    with_console("on", [&](harness::Console &console) {
        debugPrint(longest.c_str());
        debugPrint((longest + "beyond").c_str());
        EXPECT_EQ(console.text(), "torpord:" + longest + "\ntorpord:" + longest + "\n");
    });
}

TEST(DebugPrint, OnlyExactlyOnStartsAShell)
{
    struct sigaction action {};
    action.sa_handler = on_child;
    const char *off[] = {nullptr, "", "On", "ON", "on1", "o", " on", "on "};
    for (const char *mode : off) {
        with_console(mode, [&](harness::Console &console) {
            ::sigaction(SIGCHLD, &action, nullptr);
            EXPECT_FALSE(debugModeOn());
            debugPrint("quiet");
            debugPrintf("%s", "quiet");
            EXPECT_EQ(children_ended, 0) << "a process was started with mode " << mode;
            EXPECT_EQ(console.text(), "");
        });
    }
    with_console("on", [&](harness::Console &console) {
        ::sigaction(SIGCHLD, &action, nullptr);
        EXPECT_TRUE(debugModeOn());
        debugPrintf("%d: %s", 7, "loud");
        EXPECT_EQ(children_ended, 1);
        EXPECT_EQ(console.text(), "torpord:7: loud\n");
    });
}

TEST(DebugPrint, DirectWriteIsTheLineTheShellWouldWrite)
{
    with_console("on", [&](harness::Console &console) {
        consoleWriteDirect("SIGTERM close fileds.");
        debugPrint("SIGTERM close fileds.");
        EXPECT_EQ(console.text(), "torpord:SIGTERM close fileds.\ntorpord:SIGTERM close fileds.\n");
    });
}

} // namespace
