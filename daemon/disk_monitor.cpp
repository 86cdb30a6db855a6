#include "disk_monitor.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console.h"
#include "owned.h"
#include "paths.h"
#include "run_tool.h"
#include "spindown_conf.h"

char sampleBuffer[64 * 1024];

namespace {

constexpr int kFanAttempts = 5;

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool endsField(char c)
{
    return isBlank(c) || c == '\0';
}

bool sameText(const char *stored, const char *seen)
{
    return stored != nullptr && std::strcmp(stored, seen) == 0;
}

void storeText(char *&stored, const char *seen)
{
    std::free(stored);
    stored = ::strdup(seen);
}

void sample(DiskEntry &entry, const char *rio, const char *wio)
{
    entry.seen = 1;
    debugPrintf(paths::kMsgSample, entry.sd, entry.count, rio, wio);
    if (sameText(entry.rio, rio) && sameText(entry.wio, wio)) {
        ++entry.count;
        return;
    }
    storeText(entry.rio, rio);
    storeText(entry.wio, wio);
    entry.count = 0;
    if (entry.ide == 1)
        fanCtrl(1);
}

// The first watched disk named name, in table order, or null.
DiskEntry *findEntry(const char *name)
{
    for (DiskEntry &entry : diskTable) {
        if (entry.sd == nullptr)
            break;
        if (std::strcmp(entry.sd, name) == 0)
            return &entry;
    }
    return nullptr;
}

// Each spin-down is true when its command ended with status 0.
bool spinDownInternal(const DiskEntry &entry)
{
    debugPrint(paths::kMsgIdeSpinDown);
    fanCtrl(0);
    // Room for any name a configuration line can hold, so that none is cut.
    char device[sizeof paths::kDeviceFormat + kLineSize];
    std::snprintf(device, sizeof device, paths::kDeviceFormat, entry.sd);
    ToolArg hdparm(paths::kHdparm);
    ToolArg spinDown(paths::kHdparmSpinDown);
    char *argv[] = {hdparm.text, spinDown.text, device, nullptr};
    if (runWithTimeout(paths::kHdparm, argv) == 0)
        return true;
    // The disk may still be spinning: not without its fan.
    debugPrint(paths::kMsgIdeSpinDownFailed);
    fanCtrl(1);
    return false;
}

bool spinDownUsb(const DiskEntry &entry)
{
    debugPrint(paths::kMsgUsbSpinDown);
    if (entry.sg == nullptr)
        return false; // its copy failed: there is no device to name
    ToolArg sgStart(paths::kSgStart);
    ToolArg stop(paths::kSgStartStop);
    char *argv[] = {sgStart.text, entry.sg, stop.text, nullptr};
    return runWithTimeout(paths::kSgStart, argv) == 0;
}

} // namespace

bool diskstatsSplit(char *&p, char *(&field)[kDiskstatsFields], int first, int end)
{
    for (int i = first; i < end; ++i) {
        while (isBlank(*p))
            ++p;
        if (*p == '\0')
            return false;
        field[i] = p;
        while (!endsField(*p))
            ++p;
        if (*p != '\0')
            *p++ = '\0';
    }
    return true;
}

int checkUsbHddIO()
{
    debugPrint(paths::kMsgCheck);
    // A disk is acted on only in a cycle whose sample saw its line.
    for (DiskEntry &entry : diskTable) {
        entry.seen = 0;
        entry.spunDown = 0;
    }
    owned::unique_file file(std::fopen(paths::kDiskstats, "re"));
    if (!file) {
        debugPrint(paths::kMsgDiskstatsOpenError);
        return 1;
    }
    std::setvbuf(file.get(), sampleBuffer, _IOFBF, sizeof sampleBuffer);
    char line[kLineSize];
    while (readLine(line, sizeof line, file.get())) {
        if (line[0] == '\n' || diskTable[0].sd == nullptr)
            continue;
        // The name first, and the counters only of a watched disk's line:
        // splitting every line whole costs a third more instructions per
        // idle cycle (65,469 instead of 48,942 with 64 lines, make bench).
        char *p = line;
        char *field[kDiskstatsFields] = {};
        if (!diskstatsSplit(p, field, 0, kDiskstatsName + 1))
            continue;
        DiskEntry *entry = findEntry(field[kDiskstatsName]);
        if (entry != nullptr && diskstatsSplit(p, field, kDiskstatsName + 1, kDiskstatsFields))
            sample(*entry, field[kDiskstatsReads], field[kDiskstatsWrites]);
    }
    return 0;
}

int spinDownUsbHdd(int minute)
{
    debugPrint(paths::kMsgSpinDown);
    for (size_t i = 0; i < kDiskTableSize && diskTable[i].sd != nullptr; ++i) {
        DiskEntry &entry = diskTable[i];
        debugPrintf(paths::kMsgEntry, entry.sd, static_cast<int>(i), entry.used, entry.count,
                    minute);
        if (entry.used != 1 || entry.seen != 1 || entry.count != minute)
            continue;
        bool done = entry.ide == 1 ? spinDownInternal(entry) : spinDownUsb(entry);
        entry.spunDown = done ? 1 : 0;
    }
    return 0;
}

int fanCtrl(int state)
{
    owned::unique_fd fd(::open(paths::kFanDevice, O_RDWR | O_SYNC | O_CLOEXEC));
    if (!fd.valid()) {
        debugPrint(paths::kMsgFanOpenError);
        return 1;
    }
    // The request's size field is 4, so the driver reads four bytes: the
    // state byte first, the rest zero.
    unsigned char arg[4] = {static_cast<unsigned char>(state), 0, 0, 0};
    for (int attempt = 0; attempt < kFanAttempts; ++attempt) {
        if (::ioctl(fd.get(), paths::kFanRequest, arg) == 0)
            return 0;
        sleepWholeSecond();
    }
    debugPrint(paths::kMsgFanIoctlError);
    return 1;
}
