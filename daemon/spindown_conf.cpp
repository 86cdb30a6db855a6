#include "spindown_conf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "console.h"
#include "disk_monitor.h"
#include "owned.h"
#include "paths.h"

DiskEntry diskTable[kDiskTableSize];
int SpinDownTime = 10;
volatile sig_atomic_t reloadRequested = 0;

namespace {

constexpr int kFieldCount = 5;
constexpr size_t kDevicePrefixLen = 5; // "/dev/"
// Six lines of at most 1023 characters come to 6 KiB, and the appliance
// writes a few hundred bytes: reading stops here, so that a file that grows
// without end (or a file system that never ends one) cannot hold the load.
constexpr long kConfReadLimit = 64L * 1024;

void releaseText(char *&text)
{
    std::free(text);
    text = nullptr;
}

void emptyTable(DiskEntry (&table)[kDiskTableSize])
{
    for (DiskEntry &entry : table) {
        releaseText(entry.sd);
        releaseText(entry.sg);
        releaseText(entry.rio);
        releaseText(entry.wio);
        releaseText(entry.status.label);
        entry = DiskEntry{};
    }
}

// The configuration file, when it is a regular file. /tmp is anyone's to
// write: a FIFO there would block the open, a device could be read for
// ever. The open cannot wait for a writer, and reads stay non-blocking, so
// that a regular file that blocks its reader (such as /proc/kmsg) reads as
// ended.
owned::unique_file openConf()
{
    owned::unique_fd fd(::open(paths::kConfFile, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return nullptr;
    owned::unique_file file(::fdopen(fd.get(), "r"));
    if (file) {
        (void)fd.release();
        std::setvbuf(file.get(), sampleBuffer, _IOFBF, sizeof sampleBuffer);
    }
    return file;
}

bool withinLimit(FILE *file)
{
    long at = std::ftell(file);
    return at >= 0 && at < kConfReadLimit;
}

} // namespace

bool readLine(char *line, int size, FILE *file)
{
    std::memset(line, 0, static_cast<size_t>(size));
    return std::fgets(line, size, file) != nullptr;
}

bool confParseLine(char *line, ConfFields &fields)
{
    char *found[kFieldCount] = {};
    char *p = line;
    for (char *&field : found) {
        while (*p == '\t')
            ++p;
        if (*p == '\0')
            return false;
        field = p;
        while (*p != '\t' && *p != '\0')
            ++p;
        if (*p == '\t')
            *p++ = '\0';
    }
    if (std::strlen(found[2]) < kDevicePrefixLen)
        return false;
    fields = {found[0], found[1], found[2], found[3], found[4]};
    return true;
}

int confMinutes(const char *sec)
{
    // 64 bits on every target, so a long sec field saturates alike everywhere.
    long long minutes = std::strtoll(sec, nullptr, 10) / 60;
    if (minutes > INT_MAX)
        return INT_MAX;
    if (minutes < INT_MIN)
        return INT_MIN;
    return static_cast<int>(minutes);
}

namespace {

// Fills the empty diskTable from the file; loadSpinDownConf's result.
int fillTable()
{
    owned::unique_file file = openConf();
    if (!file) {
        debugPrint(paths::kMsgConfOpenError);
        return 1;
    }
    char line[kLineSize];
    int taken = 0;
    int minutes = 0;
    while (taken < static_cast<int>(kDiskTableSize) && withinLimit(file.get()) &&
           readLine(line, sizeof line, file.get())) {
        ConfFields f{};
        if (line[0] == '\n' || !confParseLine(line, f))
            continue;
        const char *sd = f.sd + kDevicePrefixLen;
        debugPrintf(paths::kMsgConfLine, taken, f.ide, f.usbp, sd, f.sg, f.sec);
        minutes = confMinutes(f.sec);
        DiskEntry &entry = diskTable[taken];
        entry.ide = std::strcmp(f.ide, paths::kIdeMarker) == 0 ? 1 : 0;
        entry.sd = ::strdup(sd);
        entry.sg = ::strdup(f.sg);
        entry.status.label = ::strdup(f.usbp);
        entry.used = 1;
        ++taken;
    }
    file.reset();
    if (taken > 0) {
        debugPrintf(paths::kMsgNowSpinDownTime, SpinDownTime);
        SpinDownTime = minutes == 0 ? 1 : minutes;
        debugPrintf(paths::kMsgChangeSpinDownTime, SpinDownTime);
    }
    return 0;
}

} // namespace

int loadSpinDownConf()
{
    // Cleared before the file is read: a SIGHUP that comes during the load
    // may announce a newer file, and leads to one more load.
    reloadRequested = 0;
    DiskEntry old[kDiskTableSize] = {};
    std::swap(old, diskTable);
    int result = fillTable();
    statusLoaded(old);
    emptyTable(old);
    return result;
}
