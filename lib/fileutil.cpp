#include "fileutil.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "errlog.h"
#include "owned.h"

namespace {

constexpr char kPidDir[] = "/var/lock/ostrel";
constexpr char kPidFormat[] = "%s/%s.pid";
// "/var/lock/ostrel", the "/" after it, ".pid" and the terminator.
constexpr size_t kPidPathExtra = 22;
constexpr int kPidFailStatus = 5;
constexpr mode_t kPidMode = 0600;

constexpr char kMountTable[] = "/etc/mtab";
constexpr char kRootDevice[] = "/dev/root";
constexpr char kRootDir[] = "/";
constexpr char kRootType[] = "ext2";
constexpr char kUnmountFormat[] = "umount %s";

constexpr size_t kPathSize = 4352;
constexpr size_t kBlockSize = 8192;
constexpr size_t kLineSize = 512;
constexpr size_t kCommandSize = 128;
constexpr size_t kReadAllSlack = 10;
constexpr mode_t kCopyMode = 0666;
constexpr mode_t kCreateMode = 0777;

constexpr int kReadAllNoSize = 13;
constexpr int kReadAllNoMemory = 16;
constexpr int kReadAllUnreadable = 11;

constexpr int kMajor = 2;
enum Minor : int {
    kDirCheck = 2,
    kCopy = 3,
    kRead = 4,
    kSize = 5,
    kMountRead = 6,
    kUnmount = 7,
    kExec = 8,
    kAlloc = 9,
    kRealloc = 10,
};

constexpr char kStatMsg[] = "System call error func=stat, file=%s, errno=%d\n";
constexpr char kNotDirMsg[] = "A specification value is not a directory. dir=%s, errno=%d\n";
constexpr char kOpenMsg[] = "File opening went wrong. file=%s, errno=%d\n";
constexpr char kCopyMsg[] = "Copy processing went wrong. distfile=%s, srcfile=%s, errno=%d\n";
constexpr char kFreadMsg[] = "System call error func=fread, file=%s, errno=%d\n";
constexpr char kUnmountMsg[] = "umount(%s) rtn=%d, errno=%d\n\n";
constexpr char kExecMsg[] = "Execution of a command went wrong. cmdline=%s, errno=%d\n";
constexpr char kMemoryMsg[] = "A memory is insufficient. errno=%d\n";

// Every report ends with the errno of the failure.
template <typename... Args>
void report(Minor minor, const char *format, Args... args)
{
    errlog_write(kMajor, minor, format, args..., errno);
}

} // namespace

// Directories, copies and moves.

extern "C" int dir_check(const char *path)
{
    struct stat st {};
    if (::stat(path, &st) != 0) {
        report(kDirCheck, kStatMsg, path);
        return -1;
    }
    if (S_ISDIR(st.st_mode))
        return 0;
    report(kDirCheck, kNotDirMsg, path);
    return -1;
}

namespace {

const char *last_component(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// The destination itself, or dst/<last component of src> when dst is a
// directory. A joined path that does not fit is refused rather than cut into
// the name of some other file.
bool build_destination(std::span<char, kPathSize> path, const char *dst, const char *src)
{
    owned::unique_dir dir(::opendir(dst));
    if (!dir) {
        std::snprintf(path.data(), path.size(), "%s", dst);
        return true;
    }
    dir.reset();
    int n = std::snprintf(path.data(), path.size(), "%s/%s", dst, last_component(src));
    if (n < 0 || static_cast<size_t>(n) >= path.size()) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

enum class Opened { ok, failed, same_file };

// Opens the destination for writing, truncated, with the permissions a fresh
// "w" stream would give it. The file is compared with the source before it is
// truncated, so a copy onto the source itself (by any path) leaves it intact.
// Unbuffered: every block is one write, and a short write shows at once.
Opened open_destination(owned::unique_file &out, const char *path, const struct stat &source)
{
    owned::unique_fd fd(::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, kCopyMode));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0)
        return Opened::failed;
    if (st.st_dev == source.st_dev && st.st_ino == source.st_ino) {
        errno = EINVAL;
        return Opened::same_file;
    }
    if (S_ISREG(st.st_mode) && ::ftruncate(fd.get(), 0) != 0)
        return Opened::failed;
    out.reset(::fdopen(fd.get(), "w"));
    if (!out)
        return Opened::failed;
    (void)fd.release();
    std::setvbuf(out.get(), nullptr, _IONBF, 0);
    return Opened::ok;
}

// Copies until end of file; false at a read error or a short write.
bool copy_blocks(FILE *out, FILE *in)
{
    char block[kBlockSize];
    while (!std::feof(in)) {
        size_t got = std::fread(block, 1, sizeof block, in);
        if (std::ferror(in) || std::fwrite(block, 1, got, out) != got)
            return false;
    }
    return true;
}

} // namespace

extern "C" int file_copy(const char *dst, const char *src)
{
    char path[kPathSize];
    if (!build_destination(path, dst, src)) {
        report(kCopy, kOpenMsg, dst);
        return -1;
    }
    owned::unique_file in(std::fopen(src, "re"));
    struct stat source {};
    if (!in || ::fstat(::fileno(in.get()), &source) != 0) {
        report(kCopy, kOpenMsg, src);
        return -1;
    }
    // A directory opens for reading but gives no bytes: refused before the
    // destination is opened, which would truncate it.
    if (S_ISDIR(source.st_mode)) {
        errno = EISDIR;
        report(kCopy, kOpenMsg, src);
        return -1;
    }
    owned::unique_file out;
    switch (open_destination(out, path, source)) {
    case Opened::ok:
        break;
    case Opened::failed:
        report(kCopy, kOpenMsg, path);
        return -1;
    case Opened::same_file:
        report(kCopy, kCopyMsg, path, src);
        return -1;
    }
    bool copied = copy_blocks(out.get(), in.get());
    if (!copied)
        report(kCopy, kCopyMsg, path, src);
    in.reset();
    out.reset();
    return copied ? 0 : -1;
}

extern "C" int file_move(const char *dst, const char *src)
{
    if (file_copy(dst, src) != 0)
        return -1;
    return ::unlink(src);
}

// The pid file and the root file system.

extern "C" int pidfile_create(const char *name, char **path)
{
    const char *slash = std::strrchr(name, '/');
    const char *base = slash != nullptr ? slash : name;
    size_t size = std::strlen(base) + kPidPathExtra;
    owned::unique_block<char> block(static_cast<char *>(std::malloc(size)));
    if (!block)
        std::exit(kPidFailStatus);
    std::snprintf(block.get(), size, kPidFormat, kPidDir, base);
    int fd = ::open(block.get(), O_WRONLY | O_CREAT | O_EXCL, kPidMode);
    if (fd < 0) {
        block.reset();
        std::exit(kPidFailStatus);
    }
    *path = block.release();
    return fd;
}

extern "C" int rootfs_remount_rw(void)
{
    return ::mount(kRootDevice, kRootDir, kRootType, MS_REMOUNT, nullptr);
}

extern "C" int rootfs_remount_ro(void)
{
    ::sync();
    return ::mount(kRootDevice, kRootDir, kRootType, MS_REMOUNT | MS_RDONLY, nullptr);
}

// Whole files.

extern "C" int file_create(const char *path)
{
    mode_t previous = ::umask(0);
    owned::unique_fd fd(::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, kCreateMode));
    ::umask(previous);
    return fd.valid() ? 0 : -1;
}

namespace {

int put_file(const char *path, const char *mode, const void *data, int size)
{
    if (size < 0) {
        errno = EINVAL;
        return -1;
    }
    owned::unique_file out(std::fopen(path, mode));
    if (!out)
        return -1;
    // A write that fails past the stream's buffer leaves nothing for the close
    // to flush, so the count written decides too.
    auto want = static_cast<size_t>(size);
    bool written = want == 0 || std::fwrite(data, 1, want, out.get()) == want;
    int err = errno;
    int closed = std::fclose(out.release());
    if (!written) {
        errno = err;
        return -1;
    }
    return closed == 0 ? 0 : -1;
}

} // namespace

extern "C" int file_append(const char *path, const void *data, int size)
{
    return put_file(path, "ae", data, size);
}

extern "C" int file_write(const char *path, const void *data, int size)
{
    return put_file(path, "we", data, size);
}

extern "C" int file_read(char *buf, const char *path, int size)
{
    if (size < 0) {
        errno = EINVAL;
        report(kRead, kFreadMsg, path);
        return -1;
    }
    owned::unique_file in(std::fopen(path, "re"));
    if (!in) {
        report(kRead, kOpenMsg, path);
        return -1;
    }
    size_t got = size > 0 ? std::fread(buf, 1, static_cast<size_t>(size), in.get()) : 0;
    if (got > 0 || size == 0) {
        buf[got] = '\0';
        return 0;
    }
    report(kRead, kFreadMsg, path);
    return -1;
}

extern "C" int file_size(const char *path)
{
    struct stat st {};
    if (::stat(path, &st) != 0) {
        report(kSize, kStatMsg, path);
        return -1;
    }
    if (st.st_size > INT_MAX) {
        errno = EOVERFLOW;
        report(kSize, kStatMsg, path);
        return -1;
    }
    return static_cast<int>(st.st_size);
}

extern "C" int file_read_all(const char *path, char **block, int *length)
{
    int size = file_size(path);
    if (size < 0)
        return kReadAllNoSize;
    owned::unique_block<char> data(
        static_cast<char *>(mem_alloc(static_cast<size_t>(size) + kReadAllSlack)));
    if (!data)
        return kReadAllNoMemory;
    if (file_read(data.get(), path, size) != 0)
        return kReadAllUnreadable;
    *block = data.release();
    *length = size;
    return 0;
}

// Mounts and shell commands.

extern "C" int mount_is_mounted(const char *text)
{
    owned::unique_file table(std::fopen(kMountTable, "re"));
    if (!table) {
        report(kMountRead, kOpenMsg, kMountTable);
        return -1;
    }
    char line[kLineSize];
    while (std::fgets(line, sizeof line, table.get()) != nullptr)
        if (std::strstr(line, text) != nullptr)
            return 1;
    return 0;
}

namespace {

bool shell_literal(unsigned char c)
{
    constexpr std::string_view kPunctuation = "/._-+,:@%=";
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           kPunctuation.find(static_cast<char>(c)) != std::string_view::npos;
}

// Writes word into out as one shell word: unchanged when the shell takes it
// literally, otherwise in single quotes. false when it does not fit.
bool shell_word(std::span<char> out, std::string_view word)
{
    size_t used = 0;
    auto put = [&](std::string_view piece) {
        if (used + piece.size() >= out.size())
            return false;
        std::memcpy(out.data() + used, piece.data(), piece.size());
        used += piece.size();
        out[used] = '\0';
        return true;
    };
    bool literal = !word.empty();
    for (char c : word)
        literal = literal && shell_literal(static_cast<unsigned char>(c));
    if (literal)
        return put(word);
    bool ok = put("'");
    for (size_t i = 0; ok && i < word.size(); ++i)
        ok = word[i] == '\'' ? put("'\\''") : put(word.substr(i, 1));
    return ok && put("'");
}

} // namespace

extern "C" int mount_unmount(const char *target)
{
    if (mount_is_mounted(target) != 1)
        return 0;
    // The target reaches the shell as one word: a blank cannot split it and
    // nothing in it runs as a command.
    char word[kCommandSize];
    char cmdline[kCommandSize];
    int n = -1;
    if (shell_word(word, target))
        n = std::snprintf(cmdline, sizeof cmdline, kUnmountFormat, word);
    if (n < 0 || static_cast<size_t>(n) >= sizeof cmdline) {
        errno = ENAMETOOLONG;
        report(kUnmount, kUnmountMsg, target, -1);
        return -1;
    }
    ::sync();
    int rc = exec_command(cmdline);
    if (rc == 0)
        return 0;
    report(kUnmount, kUnmountMsg, target, rc);
    return rc;
}

extern "C" int exec_command(const char *cmdline)
{
    errlog_trace("%s\n", cmdline);
    // Running the caller's command line through the shell is this call's job.
    if (std::system(cmdline) == 0) // NOLINT(cert-env33-c)
        return 0;
    report(kExec, kExecMsg, cmdline);
    return -1;
}

// Memory.

extern "C" void *mem_alloc(size_t size)
{
    void *block = std::malloc(size);
    if (block == nullptr) {
        report(kAlloc, kMemoryMsg);
        return nullptr;
    }
    std::memset(block, 0, size);
    return block;
}

extern "C" void *mem_realloc(void *block, size_t size)
{
    // realloc to 0 bytes may free the block and give null, which the caller
    // would take for a failure with the block still valid.
    void *grown = std::realloc(block, size > 0 ? size : 1);
    if (grown == nullptr) {
        report(kRealloc, kMemoryMsg);
        return nullptr;
    }
    if (block == nullptr)
        std::memset(grown, 0, size);
    return grown;
}
