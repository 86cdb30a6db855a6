#include "sandbox.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#include <linux/magic.h>

#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
#define TORPOR_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TORPOR_LEAK_CHECK 1
#endif
#endif
#ifdef TORPOR_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#else
#define TORPOR_LEAK_CHECK 0
#endif

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "private_ns.h"

namespace sandbox {
namespace {

constexpr int kSkipStatus = 77;
bool in_child = false;
int scratch_serial = 0;
// The file systems the machine had when the sandbox began: never the
// sandbox's own, even where they are tmpfs (an initramfs, /dev, /run).
std::set<dev_t> machine_devices;

[[noreturn]] void die(const std::string &what)
{
    std::fprintf(stderr, "sandbox: %s: %s\n", what.c_str(), std::strerror(errno));
    std::fflush(nullptr);
    _exit(2);
}

void require_child(const char *call)
{
    if (!in_child) {
        std::fprintf(stderr, "sandbox: %s called outside sandbox::run\n", call);
        std::abort();
    }
}

// Enters the sandbox's mount namespace. false with errno set.
bool enter_namespace()
{
    return private_ns::enter({TORPOR_SOURCE_DIR, TORPOR_BUILD_DIR});
}

// The device of every mount, from the third field ("major:minor") of each
// line of /proc/self/mountinfo.
std::set<dev_t> mounted_devices()
{
    std::set<dev_t> devices;
    std::ifstream info("/proc/self/mountinfo");
    std::string line;
    while (std::getline(info, line)) {
        std::istringstream fields(line);
        std::string id, parent, device;
        unsigned major = 0, minor = 0;
        if (fields >> id >> parent >> device &&
            std::sscanf(device.c_str(), "%u:%u", &major, &minor) == 2)
            devices.insert(makedev(major, minor));
    }
    if (devices.empty())
        die("reading /proc/self/mountinfo");
    return devices;
}

std::string resolved(const std::string &path)
{
    char buf[PATH_MAX];
    if (::realpath(path.c_str(), buf) == nullptr)
        die("cannot resolve " + path);
    return buf;
}

std::string probe()
{
    pid_t pid = ::fork();
    if (pid < 0)
        return std::string("fork failed: ") + std::strerror(errno);
    if (pid == 0)
        _exit(enter_namespace() ? 0 : 10 + (errno & 0x7f));
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid)
        return "waitpid failed";
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return {};
    int err = WIFEXITED(status) ? WEXITSTATUS(status) - 10 : 0;
    return std::string("no private mount namespace here (neither root nor an unprivileged user "
                       "namespace allows one): ") +
           std::strerror(err);
}

// The exit status that reports the current test's result to the parent.
// Under LeakSanitizer a leak fails the test too: the child ends with _exit,
// which skips the check made at exit.
int child_status()
{
    const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
    bool failed = info != nullptr && info->result()->Failed();
#if TORPOR_LEAK_CHECK
    // The check walks /proc/PID/task; a body that mounted another /proc (a
    // pid namespace of its own, say) cannot be checked.
    std::string tasks = "/proc/" + std::to_string(::getpid()) + "/task";
    if (::access(tasks.c_str(), R_OK) == 0 && __lsan_do_recoverable_leak_check() != 0) {
        std::fprintf(stderr, "sandbox: the test body leaked memory (see above)\n");
        failed = true;
    }
#endif
    bool skipped = info != nullptr && info->result()->Skipped();
    return failed ? 1 : skipped ? kSkipStatus : 0;
}

[[noreturn]] void run_body(const std::function<void()> &body)
{
    body();
    std::fflush(nullptr);
    _exit(child_status());
}

// Waits for a child that ran a body and carries its result into the test.
void report_child(pid_t pid, const char *where)
{
    int status = 0;
    pid_t got;
    while ((got = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (got != pid)
        ADD_FAILURE() << "waitpid for the body in " << where << ": " << std::strerror(errno);
    else if (WIFSIGNALED(status))
        ADD_FAILURE() << "the body in " << where << " died of signal " << WTERMSIG(status);
    else if (WEXITSTATUS(status) == kSkipStatus)
        GTEST_SKIP() << "skipped inside " << where << " (see its message above)";
    else if (WEXITSTATUS(status) != 0)
        ADD_FAILURE() << "the body in " << where << " failed (see above)";
}

void make_dir(const std::string &path)
{
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        die("mkdir " + path);
}

} // namespace

const std::string &unavailable_reason()
{
    static const std::string reason = probe();
    return reason;
}

void run(const std::function<void()> &body)
{
    if (!unavailable_reason().empty())
        GTEST_SKIP() << unavailable_reason();
    std::fflush(nullptr);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0) << "fork: " << std::strerror(errno);
    if (pid == 0) {
        in_child = true;
        machine_devices = mounted_devices();
        if (!enter_namespace())
            die("entering the mount namespace");
        make_dir("/tmp/.sandbox");
        run_body(body);
    }
    report_child(pid, "the sandbox");
}

void skip(const std::string &why)
{
    require_child("skip");
    [&] { GTEST_SKIP() << why; }();
    std::fflush(nullptr);
    _exit(child_status());
}

std::string scratch(std::string_view name)
{
    require_child("scratch");
    return "/tmp/.sandbox/" + std::string(name);
}

void tmpfs(const std::string &dir, const std::string &options)
{
    require_child("tmpfs");
    std::string target = resolved(dir);
    if (::mount("sandbox", target.c_str(), "tmpfs", 0,
                options.empty() ? nullptr : options.c_str()) != 0)
        die("tmpfs on " + target);
}

void writable(const std::string &dir)
{
    require_child("writable");
    std::string target = resolved(dir);
    std::string base = scratch("overlay" + std::to_string(++scratch_serial));
    make_dir(base);
    make_dir(base + "/upper");
    make_dir(base + "/work");
    std::string opts =
        "lowerdir=" + target + ",upperdir=" + base + "/upper,workdir=" + base + "/work";
    if (::mount("overlay", target.c_str(), "overlay", 0, opts.c_str()) != 0)
        die("overlay on " + target);
}

void mtab(const char *text)
{
    require_child("mtab");
    static bool overlaid = false;
    if (!overlaid)
        writable("/etc");
    overlaid = true;
    struct statfs fs {};
    if (::statfs("/etc", &fs) != 0 || fs.f_type != OVERLAYFS_SUPER_MAGIC)
        die("/etc is not the sandbox's overlay");
    if (::unlink("/etc/mtab") != 0 && errno != ENOENT)
        die("unlink /etc/mtab");
    if (text != nullptr)
        write_file("/etc/mtab", text);
}

void mtab_kernel()
{
    mtab(nullptr);
    if (::symlink("/proc/self/mounts", "/etc/mtab") != 0)
        die("symlink /etc/mtab");
}

void bind_mount(const std::string &src, const std::string &dst)
{
    require_child("bind_mount");
    struct stat st {};
    if (::lstat(dst.c_str(), &st) != 0)
        die("bind target " + dst + " does not exist");
    if (::mount(src.c_str(), dst.c_str(), nullptr, MS_BIND, nullptr) != 0)
        die("bind " + src + " on " + dst);
}

void bind_text(std::string_view content, const std::string &dst)
{
    std::string file = scratch("text" + std::to_string(++scratch_serial));
    write_file(file, content);
    bind_mount(file, dst);
}

void private_dev()
{
    require_child("private_dev");
    std::string host = scratch("hostdev");
    make_dir(host);
    if (::mount("/dev", host.c_str(), nullptr, MS_BIND, nullptr) != 0)
        die("bind /dev");
    if (::mount("sandbox", "/dev", "tmpfs", 0, "mode=755") != 0)
        die("tmpfs on /dev");
    for (const char *name : {"null", "zero", "full", "random", "urandom", "tty", "fuse"}) {
        std::string src = host + "/" + name;
        std::string dst = std::string("/dev/") + name;
        if (::access(src.c_str(), F_OK) != 0)
            continue;
        int fd = ::open(dst.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0)
            die("create " + dst);
        ::close(fd);
        if (::mount(src.c_str(), dst.c_str(), nullptr, MS_BIND, nullptr) != 0)
            die("bind " + dst);
    }
    const char *links[][2] = {{"/proc/self/fd", "/dev/fd"},
                              {"/proc/self/fd/0", "/dev/stdin"},
                              {"/proc/self/fd/1", "/dev/stdout"},
                              {"/proc/self/fd/2", "/dev/stderr"}};
    for (auto &link : links)
        if (::symlink(link[0], link[1]) != 0)
            die(std::string("symlink ") + link[1]);
    if (::umount2(host.c_str(), MNT_DETACH) != 0)
        die("detach the host's /dev");
}

void read_only(const std::string &dir)
{
    require_child("read_only");
    std::string target = resolved(dir);
    if (::mount(target.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        ::mount(nullptr, target.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
        die("read-only bind of " + target);
}

void own_pids(const std::function<void()> &body)
{
    require_child("own_pids");
    if (::unshare(CLONE_NEWPID) != 0)
        die("entering a pid namespace");
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0)
        die("fork into the pid namespace");
    if (pid == 0) {
        if (::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
            die("mount /proc");
        run_body(body);
    }
    report_child(pid, "the pid namespace");
}

void write_file(const std::string &path, std::string_view content, mode_t mode)
{
    require_child("write_file");
    std::string dir = path.substr(0, path.find_last_of('/') + 1);
    struct statfs fs {};
    struct stat st {};
    if (::statfs(dir.empty() ? "." : dir.c_str(), &fs) != 0 ||
        ::stat(dir.empty() ? "." : dir.c_str(), &st) != 0)
        die("statfs " + dir);
    if ((fs.f_type != TMPFS_MAGIC && fs.f_type != OVERLAYFS_SUPER_MAGIC) ||
        machine_devices.count(st.st_dev) != 0) {
        errno = EPERM;
        die("refusing to write " + path + " outside the sandbox's own file systems");
    }
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        die("open " + path);
    if (::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
        die("write " + path);
    ::fchmod(fd, mode);
    ::close(fd);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool exists(const std::string &path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

} // namespace sandbox
