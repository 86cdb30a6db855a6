#include "plock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "errlog.h"

namespace {

constexpr mode_t kLockFileMode = 0600;

// The whole file, however far it grows.
int request(int fd, int cmd, short type)
{
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    return ::fcntl(fd, cmd, &fl);
}

// -1, with errno reported as the pair 1/minor.
int failed(int minor, const char *format)
{
    int err = errno;
    errlog_write(1, minor, format, err);
    return -1;
}

} // namespace

extern "C" int plock_init(const char *path)
{
    int fd = ::open(path, O_WRONLY | O_CREAT, kLockFileMode);
    if (fd >= 0)
        return fd;
    return failed(1, "plock_init error errno=%d\n");
}

extern "C" int plock_lock(int fd)
{
    return request(fd, F_SETLKW, F_WRLCK) == 0 ? 0 : failed(2, "plock_lock error errno=%d\n");
}

extern "C" int plock_trylock(int fd)
{
    if (request(fd, F_SETLK, F_WRLCK) == 0)
        return 0;
    return errno == EAGAIN ? 1 : failed(3, "plock_trylock error errno=%d\n");
}

extern "C" int plock_unlock(int fd)
{
    return request(fd, F_SETLK, F_UNLCK) == 0 ? 0 : failed(4, "plock_unlock error errno=%d\n");
}

extern "C" int plock_close(int fd)
{
    return ::close(fd);
}
