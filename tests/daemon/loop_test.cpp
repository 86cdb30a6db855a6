// End to end against the kernel's own counters: a loop device is the
// watched USB disk, and each sample the daemon reads is the kernel's
// /proc/diskstats of that moment, served once the test's I/O is done.
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

#include "harness.h"
#include "sandbox.h"

namespace {

struct Sample {
    int count = -1;
    std::string rio, wio;
    bool spun_down = false;
};

Sample parse_cycle(const std::string &text, const std::string &name)
{
    Sample s;
    std::smatch m;
    if (std::regex_search(text, m, std::regex(name + R"(\(_\d+\): rio = (\S+), wio = (\S+)\n)"))) {
        s.rio = m[1];
        s.wio = m[2];
    }
    if (std::regex_search(text, m, std::regex(name + R"(\(0\): used=1, count=(\d+), minute=1)")))
        s.count = std::stoi(m[1]);
    s.spun_down = text.find("run: /usr/local/bin/sg_start /dev/sg7 0\n") != std::string::npos;
    return s;
}

// A loop device over a scratch image, cleared when released at the latest.
class LoopDevice {
public:
    // Empty reason when attached.
    std::string attach(const std::string &image)
    {
        owned_control_ = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
        if (owned_control_ < 0)
            return std::string("no /dev/loop-control: ") + std::strerror(errno);
        int n = ::ioctl(owned_control_, LOOP_CTL_GET_FREE);
        if (n < 0)
            return std::string("no free loop device: ") + std::strerror(errno);
        path_ = "/dev/loop" + std::to_string(n);
        fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
        int backing = ::open(image.c_str(), O_RDWR | O_CLOEXEC);
        if (fd_ < 0 || backing < 0)
            return "cannot open " + path_ + " or the image: " + std::strerror(errno);
        loop_config config{};
        config.fd = static_cast<__u32>(backing);
        // Detached by the kernel at the last close, whatever becomes of us.
        config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
        int rc = ::ioctl(fd_, LOOP_CONFIGURE, &config);
        int err = errno;
        ::close(backing);
        if (rc != 0)
            return "cannot attach " + path_ + ": " + std::strerror(err);
        attached_ = true;
        return {};
    }
    ~LoopDevice()
    {
        if (attached_)
            ::ioctl(fd_, LOOP_CLR_FD);
        if (fd_ >= 0)
            ::close(fd_);
        if (owned_control_ >= 0)
            ::close(owned_control_);
    }
    const std::string &path() const { return path_; }

private:
    int owned_control_ = -1;
    int fd_ = -1;
    bool attached_ = false;
    std::string path_;
};

void run_dd(const std::string &args)
{
    std::string command = "dd " + args + " bs=4096 count=1 status=none";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

TEST(TorpordLoopDevice, RealCountersResetTheCountAndIdlenessSpinsDownOnce)
{
    sandbox::run([] {
        sandbox::own_pids([] {
            std::string image = sandbox::scratch("loop.img");
            sandbox::write_file(image, std::string(1 << 20, '\0'));
            LoopDevice loop;
            std::string why = loop.attach(image);
            if (!why.empty())
                GTEST_SKIP() << "loop devices unavailable here: " << why;
            // Keep the node reachable once /dev is private.
            std::string node = sandbox::scratch("loop-node");
            sandbox::write_file(node, "");
            sandbox::bind_mount(loop.path(), node);
            harness::World w(harness::Samples::fed);
            sandbox::write_file(loop.path(), "");
            sandbox::bind_mount(node, loop.path());
            w.tools_on_console();
            std::string name = loop.path().substr(5);
            w.config("USB1:\tusbp1\t" + loop.path() + "\t/dev/sg7\t60\n");
            pid_t daemon = w.start();

            w.serve(w.kernel_diskstats());
            run_dd("if=" + loop.path() + " of=/dev/null iflag=direct");
            w.serve(w.kernel_diskstats());
            run_dd("if=/dev/zero of=" + loop.path() + " oflag=direct conv=notrunc");
            for (int sample = 3; sample <= 6; ++sample)
                w.serve(w.kernel_diskstats());
            Sample first = parse_cycle(w.cycle(1), name);
            Sample read = parse_cycle(w.cycle(2), name);
            Sample written = parse_cycle(w.cycle(3), name);
            Sample idle = parse_cycle(w.cycle(4), name);
            EXPECT_EQ(first.count, 0);
            EXPECT_NE(read.rio, first.rio);
            EXPECT_EQ(read.wio, first.wio);
            EXPECT_EQ(read.count, 0);
            EXPECT_EQ(written.rio, read.rio);
            EXPECT_NE(written.wio, read.wio);
            EXPECT_EQ(written.count, 0);
            EXPECT_EQ(idle.count, 1);
            EXPECT_TRUE(idle.spun_down);
            EXPECT_EQ(parse_cycle(w.cycle(6), name).count, 3);
            EXPECT_EQ(harness::count(w.console.text(), "run: /usr/local/bin/sg_start"), 1u);
            w.stop(daemon);
        });
    });
}

} // namespace
