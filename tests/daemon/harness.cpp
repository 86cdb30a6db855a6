#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>

#include "sandbox.h"
#include "standin.h"

namespace harness {
namespace {

using Clock = std::chrono::steady_clock;

// The built programs, opened before any sandbox exists: a build directory
// under /tmp is hidden by a sandbox's own /tmp, so inside one they run from
// copies made from these descriptors.
const int torpord_fd = ::open(TORPORD_PATH, O_RDONLY | O_CLOEXEC);
const int standin_fd = ::open(STANDIN_PATH, O_RDONLY | O_CLOEXEC);
const int leddrv_fd = ::open(LEDDRV_PATH, O_RDONLY | O_CLOEXEC);
const int fastclock_fd = ::open(FASTCLOCK_PATH, O_RDONLY | O_CLOEXEC);

std::string sandbox_copy(int fd, const char *name)
{
    std::string path = sandbox::scratch(name);
    if (sandbox::exists(path))
        return path;
    struct stat st {};
    int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755);
    if (fd < 0 || out < 0 || ::fstat(fd, &st) != 0) {
        ADD_FAILURE() << "cannot copy the built " << name;
        return path;
    }
    off_t offset = 0;
    while (offset < st.st_size)
        if (::sendfile(out, fd, &offset, static_cast<size_t>(st.st_size - offset)) <= 0)
            break;
    ::close(out);
    EXPECT_EQ(offset, st.st_size) << "copy of " << name;
    return path;
}

constexpr char kCycleMark[] = "torpord:checkUsbHddIO\n";
constexpr char kWalkMark[] = "torpord:spinDownUsbHdd\n";

void install_standin(const std::string &dir, const std::string &name)
{
    sandbox::writable(dir);
    std::string path = dir + "/" + name;
    sandbox::write_file(path, "", 0755);
    sandbox::bind_mount(standin_program(), path);
}

std::string environment_entry(const char *name, std::string value)
{
    return std::string(name) + "=" + value;
}

struct Process {
    long pid = 0;
    std::string comm, state;
    long ppid = 0, pgrp = 0, session = 0;
};

// The processes that /proc shows.
std::vector<Process> processes()
{
    std::vector<Process> found;
    DIR *proc = ::opendir("/proc");
    if (proc == nullptr)
        return found;
    while (dirent *entry = ::readdir(proc)) {
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        Process p;
        if (stat >> p.pid >> p.comm >> p.state >> p.ppid >> p.pgrp >> p.session)
            found.push_back(p);
    }
    ::closedir(proc);
    return found;
}

// The pid of the process that the daemon's double fork left: our child
// now, named torpord, in a session of its own that it does not lead.
pid_t find_daemon()
{
    for (const Process &p : processes())
        if (p.comm == "(torpord)" && p.state != "Z" && p.ppid == ::getpid() &&
            p.pid != p.session && p.session != ::getsid(0))
            return static_cast<pid_t>(p.pid);
    return 0;
}

bool before(Clock::time_point deadline)
{
    return Clock::now() < deadline;
}

Clock::time_point patience()
{
    return Clock::now() + std::chrono::seconds(patience_seconds());
}

// The write end of a FIFO once its reader has opened it, or -1.
int open_for_reader(const std::string &fifo)
{
    auto deadline = patience();
    for (;;) {
        int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            ::fcntl(fd, F_SETFL, 0);
            return fd;
        }
        if (errno != ENXIO || !before(deadline))
            return -1;
        ::usleep(2 * 1000);
    }
}

} // namespace

int patience_seconds()
{
    const char *text = std::getenv("TORPOR_TEST_PATIENCE");
    int seconds = text != nullptr ? std::atoi(text) : 0;
    return seconds > 0 ? seconds : 120;
}

std::string standin_program()
{
    return sandbox_copy(standin_fd, "torpor-standin");
}

void require_programs()
{
    // The stand-in runs as "probe" (no hang marker of that name) over a
    // private, empty log directory, so the test's log stays as it was.
    static const std::string why = [] {
        std::string program = standin_program();
        pid_t pid = ::fork();
        if (pid == 0) {
            if (sandbox::exists(standin::kDir) &&
                (::unshare(CLONE_NEWNS) != 0 ||
                 ::mount("probe", standin::kDir, "tmpfs", 0, nullptr) != 0))
                _exit(1);
            char name[] = "probe";
            char *argv[] = {name, nullptr};
            ::execv(program.c_str(), argv);
            _exit(100 + (errno & 0x7f));
        }
        int status = 0;
        if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
            (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) < 100))
            return std::string("the probe of the built programs did not run");
        if (WEXITSTATUS(status) == 0)
            return std::string();
        return "the built programs cannot be started from here (" +
               std::string(std::strerror(WEXITSTATUS(status) - 100)) +
               "): under user-mode emulation without a binfmt_misc handler an emulated "
               "process starts only the build machine's programs";
    }();
    if (!why.empty())
        sandbox::skip(why);
}

std::string stats_line(std::string_view name, long reads, long writes)
{
    char line[256];
    std::snprintf(line, sizeof line,
                  "   8       0 %.*s %ld 0 %ld 10 %ld 0 %ld 20 0 30 40 0 0 0 0\n",
                  static_cast<int>(name.size()), name.data(), reads, reads * 8, writes, writes * 8);
    return line;
}

size_t count(std::string_view text, std::string_view needle)
{
    size_t n = 0;
    for (size_t pos = text.find(needle); pos != std::string_view::npos;
         pos = text.find(needle, pos + needle.size()))
        ++n;
    return n;
}

std::string descriptors(pid_t pid)
{
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    std::map<int, std::string> open;
    DIR *fds = ::opendir(dir.c_str());
    while (dirent *entry = fds != nullptr ? ::readdir(fds) : nullptr) {
        char target[PATH_MAX] = {};
        std::string link = dir + "/" + entry->d_name;
        if (entry->d_name[0] != '.' && ::readlink(link.c_str(), target, sizeof target - 1) > 0)
            open[std::atoi(entry->d_name)] = target;
    }
    if (fds != nullptr)
        ::closedir(fds);
    std::string lines;
    for (const auto &[fd, target] : open)
        lines += std::to_string(fd) + " " + target + "\n";
    return lines;
}

std::string survivors()
{
    auto deadline = patience();
    for (;;) {
        std::string names;
        for (const Process &p : processes())
            if (p.state != "Z" && p.pid != ::getpid())
                names += p.comm + "\n";
        if (names.empty() || !before(deadline))
            return names;
        ::usleep(10 * 1000);
    }
}

Hangups::Hangups()
{
    ::signal(SIGHUP, [](int) {});
    pid_t parent = ::getpid();
    sender_ = ::fork();
    if (sender_ < 0)
        ADD_FAILURE() << "fork: " << std::strerror(errno);
    if (sender_ != 0)
        return;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (;;) {
        ::usleep(100 * 1000);
        ::kill(parent, SIGHUP);
    }
}

Hangups::~Hangups()
{
    if (sender_ <= 0)
        return;
    ::kill(sender_, SIGKILL);
    while (::waitpid(sender_, nullptr, 0) < 0 && errno == EINTR) {
    }
}

Console::Console()
{
    if (::mkfifo("/dev/console", 0666) != 0)
        ADD_FAILURE() << "mkfifo /dev/console: " << std::strerror(errno);
    reader_ = ::open("/dev/console", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    // A writer of our own, so that the reader never sees end of file.
    writer_ = ::open("/dev/console", O_WRONLY | O_CLOEXEC);
    if (reader_ < 0 || writer_ < 0)
        ADD_FAILURE() << "cannot open the console FIFO";
}

Console::~Console()
{
    ::close(reader_);
    ::close(writer_);
}

void Console::drain(int wait_ms)
{
    pollfd p{reader_, POLLIN, 0};
    if (::poll(&p, 1, wait_ms) <= 0)
        return;
    char buf[4096];
    ssize_t got;
    while ((got = ::read(reader_, buf, sizeof buf)) > 0)
        text_.append(buf, static_cast<size_t>(got));
}

const std::string &Console::text()
{
    drain(0);
    return text_;
}

bool Console::wait_for(std::string_view needle, size_t n, int timeout)
{
    auto deadline = Clock::now() + std::chrono::seconds(timeout);
    while (count(text(), needle) < n) {
        if (!before(deadline))
            return false;
        drain(20);
    }
    return true;
}

World::PrivateDev::PrivateDev()
{
    sandbox::private_dev();
}

World::World(Samples samples)
{
    sandbox::tmpfs("/run");
    // The USB spin-down may set a disk's allow_restart: never a real one's.
    sandbox::tmpfs("/sys/block");
    install_standin("/sbin", "hdparm");
    install_standin("/usr/local/bin", "sg_start");
    if (::mkdir(standin::kDir, 0755) != 0)
        ADD_FAILURE() << "mkdir " << standin::kDir;
    diskstats_file_ = sandbox::scratch("diskstats");
    if (samples == Samples::file) {
        sandbox::write_file(diskstats_file_, "");
    } else {
        std::string kernel = sandbox::scratch("kernel-diskstats");
        sandbox::write_file(kernel, "");
        sandbox::bind_mount("/proc/diskstats", kernel);
        if (::mkfifo(diskstats_file_.c_str(), 0644) != 0)
            ADD_FAILURE() << "mkfifo " << diskstats_file_ << ": " << std::strerror(errno);
        // A daemon that ends mid-sample must fail the test, not end it.
        ::signal(SIGPIPE, SIG_IGN);
    }
    sandbox::bind_mount(diskstats_file_, "/proc/diskstats");
}

void World::config(std::string_view text)
{
    sandbox::write_file("/tmp/spindownd.conf", text);
}

void World::diskstats(std::string_view text)
{
    sandbox::write_file(diskstats_file_, text);
}

void World::serve(std::string_view text)
{
    // Once the walk after a sample is traced, the daemon has closed the
    // FIFO: its next reader is the next sample.
    if (!console.wait_for(kWalkMark, served_)) {
        ADD_FAILURE() << "sample " << served_ << " did not end\n" << console.text();
        return;
    }
    int fd = open_for_reader(diskstats_file_);
    if (fd < 0) {
        ADD_FAILURE() << "the daemon did not open /proc/diskstats for sample " << served_ + 1
                      << "\n" << console.text();
        return;
    }
    while (!text.empty()) {
        ssize_t put = ::write(fd, text.data(), text.size());
        if (put <= 0) {
            ADD_FAILURE() << "sample " << served_ + 1 << " cut short: " << std::strerror(errno);
            break;
        }
        text.remove_prefix(static_cast<size_t>(put));
    }
    ::close(fd);
    ++served_;
}

std::string World::kernel_diskstats()
{
    return sandbox::read_file(sandbox::scratch("kernel-diskstats"));
}

std::string World::tool_log()
{
    return sandbox::read_file(standin::kLog);
}

bool World::wait_for_tool(std::string_view needle)
{
    auto deadline = patience();
    while (tool_log().find(needle) == std::string::npos) {
        if (!before(deadline))
            return false;
        ::usleep(20 * 1000);
    }
    return true;
}

void World::tools_on_console()
{
    if (::symlink("/dev/console", standin::kLog) != 0)
        ADD_FAILURE() << "symlink " << standin::kLog;
}

void World::start_fan()
{
    if (leddrv_fd < 0)
        sandbox::skip("torpor-leddrv is not built here (no libfuse3 for the target)");
    require_programs();
    sandbox::write_file("/dev/leddrv", "", 0600);
    struct stat before_mount {};
    ::stat("/dev/leddrv", &before_mount);
    std::string program = sandbox_copy(leddrv_fd, "torpor-leddrv");
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::execl(program.c_str(), program.c_str(), "/dev/leddrv", static_cast<char *>(nullptr));
        _exit(127);
    }
    auto deadline = patience();
    struct stat now {};
    while (before(deadline)) {
        if (::stat("/dev/leddrv", &now) == 0 && now.st_dev != before_mount.st_dev)
            return;
        ::usleep(10 * 1000);
    }
    FAIL() << "the stand-in fan driver did not come up";
}

pid_t World::start(const Options &options)
{
    require_programs();
    std::vector<std::string> env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
    if (options.debug != nullptr)
        env.push_back(environment_entry("VARNOK_DEBUG_MODE", options.debug));
    if (options.fast) {
        env.push_back(environment_entry("LD_PRELOAD", sandbox_copy(fastclock_fd, "fastclock.so")));
        env.push_back("TORPOR_FAST_CLOCK=600");
        env.push_back(environment_entry("TORPOR_SLEEP_LOG", sandbox::scratch("sleeps")));
        env.push_back("TORPOR_FAIL_FORK=" + std::to_string(options.fail_fork));
    }
    const char *asan = std::getenv("ASAN_OPTIONS");
    env.push_back(environment_entry("ASAN_OPTIONS",
                                    std::string(asan ? asan : "") + ":verify_asan_link_order=0"));
    if (const char *ubsan = std::getenv("UBSAN_OPTIONS"))
        env.push_back(environment_entry("UBSAN_OPTIONS", ubsan));
    std::vector<char *> envp;
    for (std::string &entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    std::string program = sandbox_copy(torpord_fd, "torpord");
    std::fflush(nullptr);
    pid_t first = ::fork();
    if (first < 0)
        return 0;
    if (first == 0) {
        // Descriptors a starting shell may leave open, around the end of the
        // range the daemon closes, and a file other than /dev/null on 0.
        int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 255);
        ::dup2(null, 256);
        ::dup2(::open(program.c_str(), O_RDONLY), 0);
        char *argv[] = {program.data(), nullptr};
        ::execve(program.c_str(), argv, envp.data());
        _exit(127);
    }
    int status = 0;
    ::waitpid(first, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "torpord's first process";
    if (options.fail_fork != 0)
        return 0;
    auto deadline = patience();
    while (before(deadline)) {
        if (pid_t daemon = find_daemon())
            return daemon;
        ::usleep(5 * 1000);
    }
    ADD_FAILURE() << "no detached torpord process found";
    return 0;
}

std::string World::sleeps()
{
    return sandbox::read_file(sandbox::scratch("sleeps"));
}

int World::stop(pid_t daemon)
{
    if (daemon <= 0)
        return -1; // no daemon came up; kill(0) would signal the test itself
    ::kill(daemon, SIGTERM);
    auto deadline = patience();
    int status = 0;
    while (before(deadline)) {
        pid_t got = ::waitpid(daemon, &status, WNOHANG);
        if (got == daemon)
            return status;
        if (got < 0)
            return -1;
        ::usleep(5 * 1000);
    }
    ::kill(daemon, SIGKILL);
    return -1;
}

std::string World::cycle(size_t n)
{
    if (!console.wait_for(kCycleMark, n + 1))
        return "(cycle " + std::to_string(n) + " did not end)\n" + console.text();
    const std::string &text = console.text();
    size_t start = 0;
    for (size_t i = 0; i < n; ++i)
        start = text.find(kCycleMark, i == 0 ? 0 : start + 1);
    size_t end = text.find(kCycleMark, start + 1);
    return text.substr(start, end - start);
}

bool World::after_sample(size_t n)
{
    return console.wait_for(kWalkMark, n);
}

void in_world(const std::function<void(World &)> &body, Samples samples)
{
    sandbox::run([&] {
        sandbox::own_pids([&] {
            World world(samples);
            body(world);
        });
    });
}

void fed(std::string_view conf, bool fan, const std::function<void(World &, pid_t)> &body)
{
    in_world(
        [&](World &w) {
            w.tools_on_console();
            if (fan)
                w.start_fan();
            w.config(conf);
            body(w, w.start());
        },
        Samples::fed);
}

bool exited_zero(int status)
{
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace harness
