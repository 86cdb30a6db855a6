// The sandbox itself: what a test does inside it must not reach the machine.
#include "sandbox.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

namespace {

std::string unique_name(const char *what)
{
    return std::string("/tmp/torpor-sandbox-") + what + "-" + std::to_string(::getpid());
}

TEST(Sandbox, TmpAndMountsStayPrivate)
{
    const std::string name = unique_name("tmp");
    sandbox::run([&] {
        sandbox::write_file(name, "inside");
        EXPECT_EQ(sandbox::read_file(name), "inside");
        sandbox::tmpfs("/mnt");
        sandbox::write_file("/mnt/probe", "x");
    });
    EXPECT_FALSE(sandbox::exists(name));
    EXPECT_FALSE(sandbox::exists("/mnt/probe"));
}

TEST(Sandbox, BindAndWritableDirectories)
{
    sandbox::run([] {
        sandbox::bind_text("8 0 sda 1 2 3 4 5 6 7 8 9 10 11\n", "/proc/diskstats");
        EXPECT_EQ(sandbox::read_file("/proc/diskstats"), "8 0 sda 1 2 3 4 5 6 7 8 9 10 11\n");
        // Whatever /sbin holds on this system stays visible through the overlay.
        const std::string own = std::filesystem::directory_iterator("/sbin")->path();
        sandbox::writable("/sbin");
        sandbox::write_file("/sbin/torpor-probe", "#!/bin/sh\n", 0755);
        EXPECT_TRUE(sandbox::exists("/usr/sbin/torpor-probe"));
        EXPECT_TRUE(sandbox::exists(own)) << own;
    });
    EXPECT_FALSE(sandbox::exists("/usr/sbin/torpor-probe"));
    EXPECT_NE(sandbox::read_file("/proc/diskstats").substr(0, 5), "8 0 s");
}

TEST(Sandbox, PrivateDevHoldsNoDisks)
{
    sandbox::run([] {
        sandbox::private_dev();
        EXPECT_TRUE(sandbox::exists("/dev/null"));
        EXPECT_FALSE(sandbox::exists("/dev/vda"));
        EXPECT_FALSE(sandbox::exists("/dev/sda"));
        EXPECT_FALSE(sandbox::exists("/dev/console"));
        EXPECT_EQ(std::system("echo ok > /dev/null"), 0);
    });
}

TEST(Sandbox, RefusesToWriteOutsideItsFileSystems)
{
    const std::string name = std::string("/var/tmp/torpor-refused-") + std::to_string(::getpid());
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // A body whose write is refused ends its sandbox with a failure.
        testing::GTEST_FLAG(catch_exceptions) = false;
        sandbox::run([&] { sandbox::write_file(name, "x"); });
        _exit(testing::Test::HasFailure() ? 3 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (!sandbox::unavailable_reason().empty())
        GTEST_SKIP() << sandbox::unavailable_reason();
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_FALSE(sandbox::exists(name));
}

} // namespace
