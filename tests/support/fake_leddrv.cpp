// Stand-in for the appliance's LED/fan driver: a one-file FUSE file system,
// mounted over /dev/leddrv in a sandbox. It accepts only the fan request
// 0x40046B04 and records the state byte of each one it grants; it can be
// told to fail requests or to refuse being opened (see standin.h).
// Usage: torpor-leddrv MOUNTPOINT

#define FUSE_USE_VERSION 35

#include <fuse.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "standin.h"

namespace {

constexpr unsigned int kFanRequest = 0x40046B04;

// Takes one from the failure count; true when this request is to fail.
bool take_failure()
{
    FILE *f = std::fopen(standin::kFanFail, "r+");
    if (f == nullptr)
        return false;
    long left = 0;
    bool fail = std::fscanf(f, "%ld", &left) == 1 && left > 0;
    if (fail) {
        std::rewind(f);
        std::fprintf(f, "%ld\n", left - 1);
    }
    std::fclose(f);
    return fail;
}

int fan_getattr(const char *path, struct stat *st, struct fuse_file_info *)
{
    if (std::strcmp(path, "/") != 0)
        return -ENOENT;
    std::memset(st, 0, sizeof *st);
    st->st_mode = S_IFREG | 0600;
    st->st_nlink = 1;
    return 0;
}

int fan_open(const char *, struct fuse_file_info *)
{
    return ::access(standin::kFanAbsent, F_OK) == 0 ? -ENXIO : 0;
}

int fan_ioctl(const char *, unsigned int cmd, void *, struct fuse_file_info *, unsigned int,
              void *data)
{
    if (cmd != kFanRequest)
        return -ENOTTY;
    if (take_failure()) {
        standin::record("fan: fail\n");
        return -EIO;
    }
    // The four bytes as the appliance's little-endian driver reads them.
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    unsigned long value =
        bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<unsigned long>(bytes[3]) << 24;
    standin::record("fan: " + std::to_string(value) + "\n");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s MOUNTPOINT\n", argv[0]);
        return 2;
    }
    struct fuse_operations ops {};
    ops.getattr = fan_getattr;
    ops.open = fan_open;
    ops.ioctl = fan_ioctl;
    char foreground[] = "-f";
    char single[] = "-s";
    char *args[] = {argv[0], foreground, single, argv[1], nullptr};
    return fuse_main(4, args, &ops, nullptr);
}
