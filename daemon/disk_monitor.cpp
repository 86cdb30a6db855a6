#include "disk_monitor.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "console.h"
#include "line_reader.h"
#include "owned.h"
#include "paths.h"
#include "run_tool.h"
#include "spindown_conf.h"

namespace {

constexpr int kFanAttempts = 5;
constexpr size_t kTextSize = 1024;
constexpr int kFieldsNeeded = 8;

// Large enough for the whole file on any appliance, so that a sample costs
// one read and the end-of-file read.
char sampleBuffer[64 * 1024];

bool isSeparator(char c)
{
    return c == ' ' || c == '\t';
}

bool sameText(const char *stored, std::string_view seen)
{
    return stored != nullptr && std::strlen(stored) == seen.size() &&
           std::memcmp(stored, seen.data(), seen.size()) == 0;
}

void storeText(char *&stored, std::string_view seen)
{
    std::free(stored);
    stored = ::strndup(seen.data(), seen.size());
}

// Copies text into a NUL-terminated kTextSize buffer, cut to fit.
void copyText(char (&dst)[kTextSize], std::string_view text)
{
    size_t len = text.size() < kTextSize ? text.size() : kTextSize - 1;
    std::memcpy(dst, text.data(), len);
    dst[len] = '\0';
}

void sample(DiskEntry &entry, const DiskstatsFields &seen)
{
    if (debugModeOn()) {
        char rio[kTextSize];
        char wio[kTextSize];
        copyText(rio, seen.rio);
        copyText(wio, seen.wio);
        debugPrintf(paths::kMsgSample, entry.sd, entry.count, rio, wio);
    }
    if (sameText(entry.rio, seen.rio) && sameText(entry.wio, seen.wio)) {
        ++entry.count;
        return;
    }
    storeText(entry.rio, seen.rio);
    storeText(entry.wio, seen.wio);
    entry.count = 0;
    if (entry.ide == 1)
        fanCtrl(1);
}

DiskEntry *findEntry(std::string_view name)
{
    for (DiskEntry &entry : diskTable) {
        if (entry.sd == nullptr)
            break;
        if (sameText(entry.sd, name))
            return &entry;
    }
    return nullptr;
}

void spinDownInternal(const DiskEntry &entry)
{
    debugPrint(paths::kMsgIdeSpinDown);
    fanCtrl(0);
    char device[kTextSize];
    int len = std::snprintf(device, sizeof device, paths::kDeviceFormat, entry.sd);
    if (len < 0 || static_cast<size_t>(len) >= sizeof device)
        return; // a cut name would name another device
    ToolArg hdparm(paths::kHdparm);
    ToolArg spinDown(paths::kHdparmSpinDown);
    char *argv[] = {hdparm.text, spinDown.text, device, nullptr};
    runWithTimeout(paths::kHdparm, argv);
}

void spinDownUsb(const DiskEntry &entry)
{
    debugPrint(paths::kMsgUsbSpinDown);
    char sg[kTextSize];
    if (entry.sg == nullptr || std::strlen(entry.sg) >= sizeof sg)
        return; // no path when its copy failed; a cut one would name another device
    std::strcpy(sg, entry.sg);
    ToolArg sgStart(paths::kSgStart);
    ToolArg stop(paths::kSgStartStop);
    char *argv[] = {sgStart.text, sg, stop.text, nullptr};
    runWithTimeout(paths::kSgStart, argv);
}

} // namespace

bool diskstatsParseLine(std::string_view line, DiskstatsFields &fields)
{
    std::string_view found[kFieldsNeeded];
    size_t pos = 0;
    for (std::string_view &field : found) {
        while (pos < line.size() && isSeparator(line[pos]))
            ++pos;
        if (pos == line.size())
            return false;
        size_t start = pos;
        while (pos < line.size() && !isSeparator(line[pos]))
            ++pos;
        // Not substr: its range check is what would tie the daemon to libstdc++.
        field = std::string_view(line.data() + start, pos - start);
    }
    fields = {found[2], found[3], found[7]};
    return true;
}

int checkUsbHddIO()
{
    debugPrint(paths::kMsgCheck);
    owned::unique_fd fd(::open(paths::kDiskstats, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        debugPrint(paths::kMsgDiskstatsOpenError);
        return 1;
    }
    LineReader reader(fd.get(), sampleBuffer);
    std::string_view line;
    DiskstatsFields seen;
    while (reader.next(line)) {
        if (line.empty() || line[0] == '\n' || diskTable[0].sd == nullptr)
            continue;
        if (!diskstatsParseLine(line, seen))
            continue;
        if (DiskEntry *entry = findEntry(seen.name))
            sample(*entry, seen);
    }
    return 0;
}

int spinDownUsbHdd(int minute)
{
    debugPrint(paths::kMsgSpinDown);
    for (size_t i = 0; i < kDiskTableSize && diskTable[i].sd != nullptr; ++i) {
        const DiskEntry &entry = diskTable[i];
        debugPrintf(paths::kMsgEntry, entry.sd, static_cast<int>(i), entry.used, entry.count,
                    minute);
        if (entry.used != 1 || entry.count != minute)
            continue;
        if (entry.ide == 1)
            spinDownInternal(entry);
        else
            spinDownUsb(entry);
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
        ::sleep(1);
    }
    debugPrint(paths::kMsgFanIoctlError);
    return 1;
}
