#include "spindown_conf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>

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

// The configuration file, when it is a regular file. /tmp is anyone's to
// write: a FIFO there would block the open, a device could be read for
// ever. The open cannot wait for a writer, and reads stay non-blocking, so
// that a regular file that blocks its reader (such as /proc/kmsg) reads as
// ended.
owned::unique_fd openConf()
{
    owned::unique_fd fd(::open(paths::kConfFile, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (fd.valid() && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)))
        fd.reset();
    return fd;
}

} // namespace

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

// Keeps a copy of text at names, and moves names past it.
char *keep(char *&names, const char *text)
{
    size_t size = std::strlen(text) + 1;
    char *kept = static_cast<char *>(std::memcpy(names, text, size));
    names += size;
    return kept;
}

// Fills the empty diskTable from the file, whose text is read at names, at
// most room bytes of it (64 KiB less the names of the last load; a few
// hundred bytes are usual): a file that grows without end, or a file system
// that never ends one, cannot hold the load. The names it keeps, each no
// longer than the line it came from, follow each other from there and never
// reach the text not yet read; names ends past the last. loadSpinDownConf's
// result.
int fillTable(char *&names, size_t room)
{
    owned::unique_fd fd = openConf();
    if (!fd.valid()) {
        debugPrint(paths::kMsgConfOpenError);
        return 1;
    }
    LineReader text = readText(fd.get(), names, room);
    char line[kLineSize];
    int taken = 0;
    int minutes = 0;
    while (taken < static_cast<int>(kDiskTableSize) && readLine(line, sizeof line, text, false)) {
        ConfFields f{};
        if (line[0] == '\n' || !confParseLine(line, f))
            continue;
        const char *sd = f.sd + kDevicePrefixLen;
        debugPrintf(paths::kMsgConfLine, taken, f.ide, f.usbp, sd, f.sg, f.sec);
        minutes = confMinutes(f.sec);
        DiskEntry &entry = diskTable[taken];
        entry.ide = std::strcmp(f.ide, paths::kIdeMarker) == 0 ? 1 : 0;
        entry.sd = keep(names, sd);
        entry.sg = keep(names, f.sg);
        entry.status.label = keep(names, f.usbp);
        entry.used = 1;
        ++taken;
    }
    if (taken > 0) {
        debugPrintf(paths::kMsgNowSpinDownTime, SpinDownTime);
        SpinDownTime = minutes == 0 ? 1 : minutes;
        debugPrintf(paths::kMsgChangeSpinDownTime, SpinDownTime);
    }
    return 0;
}

void moveBack(char *&name, size_t by)
{
    if (name != nullptr)
        name -= by;
}

} // namespace

int loadSpinDownConf()
{
    // Cleared before the file is read: a SIGHUP that comes during the load
    // may announce a newer file, and leads to one more load.
    reloadRequested = 0;
    DiskEntry old[kDiskTableSize];
    std::copy(std::begin(diskTable), std::end(diskTable), old);
    std::fill(std::begin(diskTable), std::end(diskTable), DiskEntry{});
    // The new names gather after the old ones, which the status still
    // reads, and then take their place at the head of the buffer.
    char *first = sampleBuffer + sampleStart;
    char *names = first;
    int result = fillTable(names, sizeof sampleBuffer - sampleStart);
    statusLoaded(old);
    std::memmove(sampleBuffer, first, static_cast<size_t>(names - first));
    for (DiskEntry &entry : diskTable) {
        moveBack(entry.sd, sampleStart);
        moveBack(entry.sg, sampleStart);
        moveBack(entry.status.label, sampleStart);
    }
    sampleStart = static_cast<size_t>(names - first);
    return result;
}
