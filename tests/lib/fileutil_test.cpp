// File, mount, command and memory helpers against their real fixed paths,
// inside the sandbox. Reports are read back from error.log and trace.log.
#include "fileutil.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <linux/magic.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <regex>
#include <string>
#include <utility>

#include "errlog.h"
#include "sandbox.h"

#if defined(__SANITIZE_ADDRESS__)
#define TORPOR_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TORPOR_ASAN 1
#endif
#endif

#ifdef TORPOR_ASAN
// ASan's shadow memory rules out a small address-space limit; its allocation
// ceiling refuses the same large requests instead, with null.
extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1:max_allocation_size_mb=256";
}
#endif

namespace {

using Reports = std::pair<std::string, std::string>;

constexpr char kRecord[] = "/var/lock/ostrel/error.log";
constexpr char kTrace[] = "/var/lock/ostrel/trace.log";
const Reports kNone{"000000", ""};
constexpr size_t kTooMuch = size_t{1} << 30;

// The record and the trace text since the last call; the logs start afresh.
Reports reports()
{
    Reports got{sandbox::read_file(kRecord), sandbox::read_file(kTrace)};
    errlog_open(0, nullptr);
    EXPECT_EQ(::truncate(kTrace, 0), 0);
    return got;
}

void open_logs()
{
    sandbox::tmpfs("/var/lock");
    ASSERT_EQ(::mkdir("/var/lock/ostrel", 0755), 0);
    sandbox::write_file("/var/lock/ostrel/.trace.mode", "");
    reports();
}

// errno values left by a shell, which no test can foresee.
Reports masked(const Reports &got)
{
    static const std::regex number("errno=[0-9]+");
    return {got.first, std::regex_replace(got.second, number, "errno=N")};
}

// The exit status of f run in a forked child; -1 when it did not exit.
int in_child(const std::function<int()> &f)
{
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0)
        _exit(f());
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// Leaves too little address space for kTooMuch bytes.
void limit_memory()
{
#ifndef TORPOR_ASAN
    const struct rlimit limit = {256u << 20, 256u << 20};
    ::setrlimit(RLIMIT_AS, &limit);
#endif
}

// Whether limit_memory makes kTooMuch bytes fail here: user-mode emulation
// (qemu) accepts the limit but does not apply it.
bool memory_can_run_short()
{
    return in_child([] {
               limit_memory();
               void *p = std::malloc(kTooMuch);
               bool failed = p == nullptr;
               std::free(p);
               return failed ? 0 : 1;
           }) == 0;
}
constexpr char kNoMemoryLimit[] =
    "the address-space limit does not hold here (user-mode emulation)";

bool mount_point(const std::string &dir)
{
    struct stat in {};
    struct stat parent {};
    return ::stat(dir.c_str(), &in) == 0 && ::stat((dir + "/..").c_str(), &parent) == 0 &&
           in.st_dev != parent.st_dev;
}

mode_t mode_of(const char *path)
{
    struct stat st {};
    return ::stat(path, &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(FileUtil, DirCheck)
{
    sandbox::run([] {
        open_logs();
        ::mkdir("/tmp/d", 0755);
        ::symlink("/tmp/d", "/tmp/link");
        sandbox::write_file("/tmp/f", "x");
        const struct {
            const char *path;
            int rc;
            Reports want;
        } cases[] = {
            {"/tmp/d", 0, kNone},
            {"/tmp/link", 0, kNone},
            {"/tmp/f",
             -1,
             {"002002", "A specification value is not a directory. dir=/tmp/f, errno=0\n"}},
            {"/tmp/none", -1, {"002002", "System call error func=stat, file=/tmp/none, errno=2\n"}},
        };
        for (const auto &c : cases) {
            errno = 0;
            EXPECT_EQ(dir_check(c.path), c.rc) << c.path;
            EXPECT_EQ(reports(), c.want) << c.path;
        }
    });
}

TEST(FileUtil, FileCopyCopiesWholeFiles)
{
    sandbox::run([] {
        open_logs();
        ::umask(022);
        ::mkdir("/tmp/a", 0755);
        ::mkdir("/tmp/a/b", 0755);
        ::mkdir("/tmp/d", 0755);
        std::string data;
        for (size_t size : {0, 1, 8191, 8192, 16384, 8193}) {
            data.assign(size, '\0');
            for (size_t i = 0; i < size; ++i)
                data[i] = static_cast<char>(i * 7 + i / 8192);
            sandbox::write_file("/tmp/a/b/name", data);
            ASSERT_EQ(file_copy("/tmp/d", "/tmp/a/b/name"), 0) << size;
            EXPECT_EQ(sandbox::read_file("/tmp/d/name"), data) << size;
        }
        ASSERT_EQ(::chdir("/tmp/a/b"), 0);
        sandbox::write_file("/tmp/d/name", std::string(20000, 'z'));
        EXPECT_EQ(file_copy("/tmp/d", "name"), 0);
        EXPECT_EQ(sandbox::read_file("/tmp/d/name"), data);
        EXPECT_EQ(file_copy("/tmp/d/new", "name"), 0);
        EXPECT_EQ(sandbox::read_file("/tmp/d/new"), data);
        EXPECT_EQ(mode_of("/tmp/d/new"), 0644u);
        EXPECT_EQ(reports(), kNone);
    });
}

TEST(FileUtil, FileCopyRefusesAndReports)
{
    sandbox::run([] {
        open_logs();
        sandbox::private_dev();
        sandbox::write_file("/tmp/s", "source");
        ::link("/tmp/s", "/tmp/hard");
        ::symlink("/tmp/s", "/tmp/soft");
        ::mkdir("/tmp/srcdir", 0755);
        auto same = [](const std::string &dst) {
            return Reports("002003", "Copy processing went wrong. distfile=" + dst +
                                         ", srcfile=/tmp/s, errno=22\n");
        };
        const struct {
            const char *dst, *src;
            Reports want;
        } cases[] = {
            {"/tmp/out",
             "/tmp/missing",
             {"002003", "File opening went wrong. file=/tmp/missing, errno=2\n"}},
            {"/tmp/s", "/tmp/s", same("/tmp/s")},
            {"/tmp", "/tmp/s", same("/tmp/s")},
            {"/tmp/hard", "/tmp/s", same("/tmp/hard")},
            {"/tmp/soft", "/tmp/s", same("/tmp/soft")},
            // Refused before the destination, which keeps its content.
            {"/tmp/s",
             "/tmp/srcdir",
             {"002003", "File opening went wrong. file=/tmp/srcdir, errno=21\n"}},
            {"/dev/full",
             "/tmp/s",
             {"002003",
              "Copy processing went wrong. distfile=/dev/full, srcfile=/tmp/s, errno=28\n"}},
            {"/tmp/no/x",
             "/tmp/s",
             {"002003", "File opening went wrong. file=/tmp/no/x, errno=2\n"}},
        };
        for (const auto &c : cases) {
            EXPECT_EQ(file_copy(c.dst, c.src), -1) << c.dst << " " << c.src;
            EXPECT_EQ(reports(), c.want) << c.dst << " " << c.src;
            EXPECT_EQ(sandbox::read_file("/tmp/s"), "source");
        }
        EXPECT_EQ(sandbox::read_file("/tmp/out"), "");

        // A destination that cannot be emptied is not overwritten in part.
        int sealed = ::memfd_create("dst", MFD_ALLOW_SEALING);
        ASSERT_EQ(::write(sealed, "old content", 11), 11);
        ASSERT_EQ(::fcntl(sealed, F_ADD_SEALS, F_SEAL_SHRINK), 0);
        const std::string fd_path = "/proc/self/fd/" + std::to_string(sealed);
        EXPECT_EQ(file_copy(fd_path.c_str(), "/tmp/s"), -1);
        EXPECT_EQ(reports(),
                  Reports("002003", "File opening went wrong. file=" + fd_path + ", errno=1\n"));
        EXPECT_EQ(sandbox::read_file(fd_path), "old content");

        // dir/name of 4352 characters is refused, not cut into another name; one
        // character less fits, and the source (too long itself) is what fails.
        std::string dir = "/tmp";
        for (int i = 0; i < 20; ++i) {
            dir += "/" + std::string(200, 'd');
            ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
        }
        for (size_t name : {327, 326}) {
            const std::string src = "/tmp/" + std::string(name, 'x');
            EXPECT_EQ(file_copy(dir.c_str(), src.c_str()), -1);
            EXPECT_EQ(errno, ENAMETOOLONG);
            const std::string text =
                "File opening went wrong. file=" + (name == 327 ? dir : src) + ", errno=36\n";
            EXPECT_EQ(reports(), Reports("002003", text.substr(0, 1023))) << name;
        }
    });
}

TEST(FileUtil, FileMove)
{
    sandbox::run([] {
        open_logs();
        ::mkdir("/tmp/d", 0755);
        sandbox::write_file("/tmp/s", "moved");
        EXPECT_EQ(file_move("/tmp/d", "/tmp/s"), 0);
        EXPECT_FALSE(sandbox::exists("/tmp/s"));
        EXPECT_EQ(sandbox::read_file("/tmp/d/s"), "moved");
        EXPECT_EQ(file_move("/tmp/d", "/tmp/d/s"), -1);
        EXPECT_EQ(sandbox::read_file("/tmp/d/s"), "moved");
        EXPECT_EQ(reports().first, "002003");

        // A source that cannot be removed: both it and the copy remain.
        ::mkdir("/tmp/ro", 0755);
        sandbox::tmpfs("/tmp/ro");
        sandbox::write_file("/tmp/ro/f", "kept");
        ASSERT_EQ(::mount(nullptr, "/tmp/ro", nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
        EXPECT_EQ(file_move("/tmp/d/copy", "/tmp/ro/f"), -1);
        EXPECT_EQ(errno, EROFS);
        EXPECT_EQ(sandbox::read_file("/tmp/ro/f"), "kept");
        EXPECT_EQ(sandbox::read_file("/tmp/d/copy"), "kept");
        EXPECT_EQ(reports(), kNone);
    });
}

TEST(FileUtil, PidfileCreate)
{
    sandbox::run([] {
        auto create = [](const char *name) {
            return [name] {
                char *path = nullptr;
                pidfile_create(name, &path);
                return 0;
            };
        };
        sandbox::tmpfs("/var/lock");
        EXPECT_EQ(in_child(create("x")), 5) << "missing directory";
        ASSERT_EQ(::mkdir("/var/lock/ostrel", 0755), 0);

        char *path = nullptr;
        int fd = pidfile_create("x", &path);
        ASSERT_GE(fd, 0);
        EXPECT_STREQ(path, "/var/lock/ostrel/x.pid");
        EXPECT_EQ(::fcntl(fd, F_GETFL) & O_ACCMODE, O_WRONLY);
        EXPECT_EQ(mode_of(path), 0600u);
        EXPECT_EQ(sandbox::read_file(path), "");
        EXPECT_EQ(in_child(create("/usr/sbin/x")), 5) << "existing file";
        ::close(fd);
        ::unlink(path);
        std::free(path);

        fd = pidfile_create("/usr/sbin/x", &path);
        ASSERT_GE(fd, 0);
        EXPECT_STREQ(path, "/var/lock/ostrel//x.pid");
        EXPECT_TRUE(sandbox::exists("/var/lock/ostrel/x.pid"));
        ::close(fd);
        std::free(path);
    });
}

TEST(FileUtil, RootRemountsActOnTheSandboxRootOnly)
{
    sandbox::run([] {
        const char *root = "/tmp/newroot";
        ASSERT_EQ(::mkdir(root, 0755), 0);
        sandbox::tmpfs(root, "size=1m");
        struct stat want {};
        ASSERT_EQ(::stat(root, &want), 0);
        ASSERT_EQ(::chdir(root), 0);
        ASSERT_EQ(::chroot("."), 0);
        auto root_is_ours = [&want] {
            struct statfs fs {};
            struct stat now {};
            return ::statfs("/", &fs) == 0 && fs.f_type == TMPFS_MAGIC && ::stat("/", &now) == 0 &&
                   now.st_dev == want.st_dev;
        };
        ASSERT_TRUE(root_is_ours()) << "refusing to remount any other root";

        ASSERT_EQ(rootfs_remount_ro(), 0);
        EXPECT_EQ(::open("/probe", O_WRONLY | O_CREAT, 0600), -1);
        EXPECT_EQ(errno, EROFS);
        ASSERT_EQ(rootfs_remount_rw(), 0);
        int fd = ::open("/probe", O_WRONLY | O_CREAT, 0600);
        EXPECT_GE(fd, 0);
        ::close(fd);

        // A root that is not the root of a mount cannot be remounted.
        ASSERT_EQ(::mkdir("/sub", 0755), 0);
        ASSERT_EQ(::chroot("/sub"), 0);
        ASSERT_EQ(::chdir("/"), 0);
        ASSERT_TRUE(root_is_ours());
        EXPECT_EQ(rootfs_remount_ro(), -1);
        EXPECT_EQ(errno, EINVAL);
    });
}

TEST(FileUtil, FileCreate)
{
    sandbox::run([] {
        open_logs();
        for (mode_t mask : {00, 022, 077, 0777}) {
            const std::string path = "/tmp/c" + std::to_string(mask);
            ::umask(mask);
            EXPECT_EQ(file_create(path.c_str()), 0);
            EXPECT_EQ(mode_of(path.c_str()), 0777u) << mask;
            EXPECT_EQ(::umask(022), mask);
        }
        sandbox::write_file("/tmp/e", "keep", 0640);
        EXPECT_EQ(file_create("/tmp/e"), 0);
        EXPECT_EQ(sandbox::read_file("/tmp/e"), "keep");
        EXPECT_EQ(mode_of("/tmp/e"), 0640u);
        EXPECT_EQ(file_create("/tmp/no/e"), -1);
        EXPECT_EQ(reports(), kNone);
    });
}

TEST(FileUtil, FileAppendAndWrite)
{
    sandbox::run([] {
        open_logs();
        sandbox::private_dev();
        using Op = int (*)(const char *, const void *, int);
        const struct {
            Op op;
            const char *path, *before, *data;
            int size, rc;
            const char *after;
        } cases[] = {
            {file_append, "/tmp/f", nullptr, "", 0, 0, ""},
            {file_append, "/tmp/f", "ab", "", 0, 0, "ab"},
            {file_append, "/tmp/f", "ab", "cde", 2, 0, "abcd"},
            {file_write, "/tmp/f", "abcdef", "", 0, 0, ""},
            {file_write, "/tmp/f", "abcdef", "xy", 2, 0, "xy"},
            {file_write, "/tmp/f", "ab", "x", -1, -1, "ab"},
            {file_append, "/tmp/no/f", nullptr, "x", 1, -1, nullptr},
            {file_write, "/tmp/no/f", nullptr, "x", 1, -1, nullptr},
        };
        for (size_t i = 0; i < std::size(cases); ++i) {
            const auto &c = cases[i];
            ::unlink(c.path);
            if (c.before != nullptr)
                sandbox::write_file(c.path, c.before);
            EXPECT_EQ(c.op(c.path, c.data, c.size), c.rc) << "case " << i;
            EXPECT_EQ(sandbox::exists(c.path), c.after != nullptr) << "case " << i;
            if (c.after != nullptr) {
                EXPECT_EQ(sandbox::read_file(c.path), c.after) << "case " << i;
            }
        }
        // Failed writes, whether at the close or past the stream's buffer.
        const std::string big(100000, 'b');
        EXPECT_EQ(file_append("/dev/full", "x", 1), -1);
        EXPECT_EQ(file_write("/dev/full", big.data(), static_cast<int>(big.size())), -1);
        EXPECT_EQ(errno, ENOSPC);
        EXPECT_EQ(reports(), kNone);
    });
}

TEST(FileUtil, FileRead)
{
    sandbox::run([] {
        open_logs();
        sandbox::write_file("/tmp/f", "hello");
        sandbox::write_file("/tmp/e", "");
        const struct {
            const char *path;
            int size, rc;
            const char *text;
            Reports want;
        } cases[] = {
            {"/tmp/f", 0, 0, "", kNone},
            {"/tmp/f", 1, 0, "h", kNone},
            {"/tmp/f", 3, 0, "hel", kNone},
            {"/tmp/f", 9, 0, "hello", kNone},
            {"/tmp/e",
             4,
             -1,
             "",
             {"002004", "System call error func=fread, file=/tmp/e, errno=0\n"}},
            {"/tmp", 4, -1, "", {"002004", "System call error func=fread, file=/tmp, errno=21\n"}},
            {"/tmp/f",
             -1,
             -1,
             "",
             {"002004", "System call error func=fread, file=/tmp/f, errno=22\n"}},
            {"/tmp/none",
             4,
             -1,
             "",
             {"002004", "File opening went wrong. file=/tmp/none, errno=2\n"}},
        };
        for (const auto &c : cases) {
            char buf[16];
            std::memset(buf, '#', sizeof buf);
            errno = 0;
            EXPECT_EQ(file_read(buf, c.path, c.size), c.rc) << c.path << " " << c.size;
            if (c.rc == 0) {
                EXPECT_EQ(std::string(buf), c.text);
            } else {
                EXPECT_EQ(buf[0], '#') << "touched on failure";
            }
            EXPECT_EQ(reports(), c.want) << c.path << " " << c.size;
        }
    });
}

TEST(FileUtil, FileSize)
{
    sandbox::run([] {
        open_logs();
        sandbox::write_file("/tmp/e", "");
        sandbox::write_file("/tmp/f", "hello");
        ASSERT_EQ(::truncate("/tmp/f", INT_MAX), 0) << "sparse files on tmpfs";
        sandbox::write_file("/tmp/big", "");
        ASSERT_EQ(::truncate("/tmp/big", off_t{INT_MAX} + 1), 0);
        EXPECT_EQ(file_size("/tmp/e"), 0);
        EXPECT_EQ(file_size("/tmp/f"), INT_MAX);
        EXPECT_EQ(reports(), kNone);
        EXPECT_EQ(file_size("/tmp/big"), -1);
        EXPECT_EQ(errno, EOVERFLOW);
        EXPECT_EQ(reports(),
                  Reports("002005", "System call error func=stat, file=/tmp/big, errno=75\n"));
        EXPECT_EQ(file_size("/tmp/none"), -1);
        EXPECT_EQ(reports(),
                  Reports("002005", "System call error func=stat, file=/tmp/none, errno=2\n"));
    });
}

TEST(FileUtil, FileReadAll)
{
    sandbox::run([] {
        open_logs();
        sandbox::write_file("/tmp/e", "");
        sandbox::write_file("/tmp/f", "abc");
        const char zeros[13] = {};
        for (const char *path : {"/tmp/e", "/tmp/f"}) {
            char *block = nullptr;
            int length = -1;
            ASSERT_EQ(file_read_all(path, &block, &length), 0);
            const std::string text = sandbox::read_file(path);
            EXPECT_EQ(length, static_cast<int>(text.size()));
            EXPECT_EQ(std::string(block), text);
            EXPECT_EQ(std::memcmp(block + length, zeros, 10), 0);
            std::free(block);
        }
        EXPECT_EQ(reports(), kNone);

        char sentinel = 0;
        char *block = &sentinel;
        int length = -7;
        EXPECT_EQ(file_read_all("/tmp/none", &block, &length), 13);
        EXPECT_EQ(reports().first, "002005");
        EXPECT_EQ(file_read_all("/tmp", &block, &length), 11);
        EXPECT_EQ(reports().first, "002004");
        sandbox::write_file("/tmp/huge", "");
        ASSERT_EQ(::truncate("/tmp/huge", kTooMuch), 0);
        if (!memory_can_run_short())
            GTEST_SKIP() << kNoMemoryLimit;
        EXPECT_EQ(in_child([&] {
                      limit_memory();
                      return file_read_all("/tmp/huge", &block, &length);
                  }),
                  16);
        EXPECT_EQ(reports(), Reports("002009", "A memory is insufficient. errno=12\n"));
        EXPECT_EQ(block, &sentinel);
        EXPECT_EQ(length, -7);
    });
}

TEST(FileUtil, MountIsMounted)
{
    sandbox::run([] {
        open_logs();
        // 508 characters, then a word split by the 511-character piece.
        const std::string split = std::string(508, 'a') + "NEEDLE" + std::string(20, 'b') + "\n";
        sandbox::mtab(("rootfs / rootfs rw 0 0\nsandbox /mnt/usb1share tmpfs rw 0 0\n" + split).c_str());
        const struct {
            const char *text;
            int rc;
        } cases[] = {
            {"", 1},       {"/mnt/usb1", 1}, {"/mnt/usb2", 0}, {"tmpfs rw", 1},
            {"ROOTFS", 0}, {"NEEDLE", 0},    {"DLEbb", 1},     {"aNEE", 1},
        };
        for (const auto &c : cases)
            EXPECT_EQ(mount_is_mounted(c.text), c.rc) << c.text;
        sandbox::mtab("");
        EXPECT_EQ(mount_is_mounted(""), 0);
        EXPECT_EQ(reports(), kNone);
        sandbox::mtab(nullptr);
        EXPECT_EQ(mount_is_mounted(""), -1);
        EXPECT_EQ(reports(),
                  Reports("002006", "File opening went wrong. file=/etc/mtab, errno=2\n"));
    });
}

TEST(FileUtil, MountUnmountRealTmpfs)
{
    sandbox::run([] {
        open_logs();
        sandbox::tmpfs("/mnt");
        ASSERT_EQ(::mkdir("/mnt/disk", 0755), 0);
        sandbox::tmpfs("/mnt/disk");
        sandbox::mtab_kernel();
        ASSERT_TRUE(mount_point("/mnt/disk"));
        EXPECT_EQ(mount_unmount("/mnt/disk"), 0);
        EXPECT_FALSE(mount_point("/mnt/disk"));
        EXPECT_EQ(reports(), Reports("000000", "umount /mnt/disk\n"));
        EXPECT_EQ(mount_unmount("/mnt/disk"), 0);
        EXPECT_EQ(reports(), kNone) << "nothing runs for a target not mounted";
    });
}

TEST(FileUtil, MountUnmountPassesTheTargetAsOneWord)
{
    sandbox::run([] {
        open_logs();
        sandbox::tmpfs("/mnt");
        ASSERT_EQ(::mkdir("/mnt/a b", 0755), 0);
        sandbox::tmpfs("/mnt/a b");
        const std::string crafted = "/mnt/x; touch /tmp/owned";
        // Every kind of character the shell takes literally, so none is quoted.
        const std::string fits = "/mnt/AZaz09._-+,:@%=" + std::string(100, 'p');
        const std::string too_long = fits + "p";
        const std::string quoted_too_long = "/mnt/" + std::string(112, 'q') + " q";
        const std::string word_too_long = fits + std::string(200, 'p');
        sandbox::mtab(("sandbox /mnt/a b tmpfs rw 0 0\n" + crafted + "\n" + word_too_long + "\n" +
                       quoted_too_long + "\n")
                          .c_str());

        EXPECT_EQ(mount_unmount("/mnt/a b"), 0);
        EXPECT_FALSE(mount_point("/mnt/a b"));
        EXPECT_EQ(reports(), Reports("000000", "umount '/mnt/a b'\n"));

        auto failed = [](const std::string &word) {
            const std::string cmd = "umount " + word;
            // The (2, 7) report after it finds its code taken and adds nothing.
            return Reports("002008", cmd + "\nExecution of a command went wrong. cmdline=" + cmd +
                                         ", errno=N\n");
        };
        auto refused = [](const std::string &target) {
            return Reports("002007", "umount(" + target + ") rtn=-1, errno=36\n\n");
        };
        const struct {
            std::string target;
            Reports want;
        } cases[] = {
            {crafted, failed("'" + crafted + "'")},
            {fits, failed(fits)},
            {too_long, refused(too_long)},
            {quoted_too_long, refused(quoted_too_long)},
            {word_too_long, refused(word_too_long)},
        };
        for (const auto &c : cases) {
            EXPECT_EQ(mount_unmount(c.target.c_str()), -1) << c.target;
            Reports got = reports();
            EXPECT_EQ(c.want.second.find("errno=N") != std::string::npos ? masked(got) : got,
                      c.want);
        }
        EXPECT_FALSE(sandbox::exists("/tmp/owned"));
    });
}

TEST(FileUtil, ExecCommandTracesBeforeItRuns)
{
    sandbox::run([] {
        open_logs();
        const char *peek = "cat /var/lock/ostrel/trace.log > /tmp/seen";
        EXPECT_EQ(exec_command(peek), 0);
        EXPECT_EQ(sandbox::read_file("/tmp/seen"), std::string(peek) + "\n");
        EXPECT_EQ(reports(), Reports("000000", std::string(peek) + "\n"));
        EXPECT_EQ(exec_command("exit 3"), -1);
        EXPECT_EQ(masked(reports()),
                  Reports("002008",
                          "exit 3\nExecution of a command went wrong. cmdline=exit 3, errno=N\n"));
        EXPECT_EQ(exec_command("kill -9 $$"), -1);
        EXPECT_EQ(reports().first, "002008");
    });
}

TEST(FileUtil, MemAllocAndRealloc)
{
    sandbox::run([] {
        open_logs();
        auto zeroed = [](const void *p, size_t n) {
            const auto *bytes = static_cast<const unsigned char *>(p);
            for (size_t i = 0; i < n; ++i)
                if (bytes[i] != 0)
                    return false;
            return true;
        };
        // Leaves a freed block full of garbage for the next allocation; the
        // volatile escape keeps the compiler from dropping the fill.
        auto dirty = [] {
            static void *volatile escaped;
            void *p = std::malloc(4096);
            std::memset(p, 0xa5, 4096);
            escaped = p;
            std::free(escaped);
        };
        dirty();
        void *a = mem_alloc(4096);
        ASSERT_NE(a, nullptr);
        EXPECT_TRUE(zeroed(a, 4096));
        std::free(a);
        dirty();
        char *b = static_cast<char *>(mem_realloc(nullptr, 4096));
        ASSERT_NE(b, nullptr);
        EXPECT_TRUE(zeroed(b, 4096));
        std::strcpy(b, "keep");
        b = static_cast<char *>(mem_realloc(b, 1 << 20));
        ASSERT_NE(b, nullptr);
        EXPECT_STREQ(b, "keep");
        void *c = mem_realloc(b, 0);
        EXPECT_NE(c, nullptr) << "a block shrunk to nothing stays the caller's";
        std::free(c);
        EXPECT_EQ(reports(), kNone);

        if (!memory_can_run_short())
            GTEST_SKIP() << kNoMemoryLimit;
        EXPECT_EQ(in_child([] {
                      limit_memory();
                      return mem_alloc(kTooMuch) == nullptr && errno == ENOMEM ? 0 : 1;
                  }),
                  0);
        EXPECT_EQ(reports(), Reports("002009", "A memory is insufficient. errno=12\n"));
        EXPECT_EQ(in_child([] {
                      char *p = static_cast<char *>(mem_alloc(16));
                      std::strcpy(p, "keep");
                      limit_memory();
                      bool kept = mem_realloc(p, kTooMuch) == nullptr && errno == ENOMEM &&
                                  std::strcmp(p, "keep") == 0;
                      std::free(p);
                      return kept ? 0 : 1;
                  }),
                  0);
        EXPECT_EQ(reports(), Reports("002010", "A memory is insufficient. errno=12\n"));
    });
}

} // namespace
