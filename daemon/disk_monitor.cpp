#include "disk_monitor.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "console.h"
#include "owned.h"
#include "paths.h"
#include "run_tool.h"
#include "spindown_conf.h"
#include "status.h"

bool probeWakes = false;

char sampleBuffer[64 * 1024];
size_t sampleStart = 0;

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

bool isCounter(const char *text)
{
    return std::strlen(text) < kCounterSize;
}

void storeText(char (&stored)[kCounterSize], const char *seen)
{
    std::memcpy(stored, seen, std::strlen(seen) + 1);
}

// rio and wio are counters.
void sample(DiskEntry &entry, const char *rio, const char *wio)
{
    entry.seen = 1;
    debugPrintf(paths::kMsgSample, entry.sd, entry.count, rio, wio);
    if (entry.rio[0] != '\0' && std::strcmp(entry.rio, rio) == 0 && std::strcmp(entry.wio, wio) == 0) {
        ++entry.count;
        statusEvent(entry, DiskEvent::sampledIdle);
        return;
    }
    statusEvent(entry, entry.rio[0] == '\0' ? DiskEvent::lineBack : DiskEvent::sampledBusy);
    storeText(entry.rio, rio);
    storeText(entry.wio, wio);
    entry.count = 0;
    entry.asleep = 0;
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
    ToolArg standby(paths::kHdparmSpinDown);
    char *argv[] = {hdparm.text, standby.text, device, nullptr};
    if (runWithTimeout(paths::kHdparm, argv) == 0)
        return true;
    // The disk may still be spinning: not without its fan.
    fanCtrl(1);
    debugPrint(paths::kMsgIdeSpinDownFailed);
    return false;
}

// A stopped SCSI unit answers "not ready" to every read and write until it
// is started again. The kernel starts it by itself only where allow_restart
// is 1: USB storage sets it, UAS and most SAS drivers leave it 0. So it is
// set before the stop; false when it is 0 and cannot be set, and then the
// disk must stay running. A name without a SCSI disk behind it is stopped
// as ever.
bool mayRestart(const char *sd)
{
    if (std::strchr(sd, '/') != nullptr)
        return true; // not a name under /sys/block
    char link[sizeof paths::kScsiDeviceLink + kLineSize];
    std::snprintf(link, sizeof link, paths::kScsiDeviceLink, sd);
    char unit[kLineSize];
    ssize_t len = ::readlink(link, unit, sizeof unit - 1);
    if (len <= 0)
        return true;
    unit[len] = '\0';
    const char *slash = std::strrchr(unit, '/');
    char path[sizeof paths::kAllowRestart + 2 * kLineSize];
    std::snprintf(path, sizeof path, paths::kAllowRestart, sd, slash ? slash + 1 : unit);
    owned::unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return errno == ENOENT;
    char now = '\0';
    if (::read(fd.get(), &now, 1) == 1 && now == paths::kAllowRestartOn[0])
        return true;
    fd.reset(::open(path, O_WRONLY | O_CLOEXEC));
    return fd.valid() && ::write(fd.get(), paths::kAllowRestartOn, 1) == 1;
}

bool spinDownUsb(const DiskEntry &entry)
{
    if (!mayRestart(entry.sd)) {
        debugPrint(paths::kMsgUsbNoRestart);
        return false;
    }
    debugPrint(paths::kMsgUsbSpinDown);
    if (entry.sg == nullptr)
        return false; // there is no device to name
    ToolArg sgStart(paths::kSgStart);
    ToolArg stop(paths::kSgStartStop);
    char *argv[] = {sgStart.text, entry.sg, stop.text, nullptr};
    return runWithTimeout(paths::kSgStart, argv) == 0;
}

// Either path; a command that ended with status 0 is a spin-down for the status.
bool spinDown(DiskEntry &entry)
{
    bool done = entry.ide == 1 ? spinDownInternal(entry) : spinDownUsb(entry);
    if (done)
        statusEvent(entry, DiskEvent::spunDown);
    return done;
}

// Sense key, additional sense code and qualifier, in fixed or descriptor format.
bool senseIs(const sg_io_hdr &io, int key, int asc, int ascq)
{
    const unsigned char *s = io.sbp;
    int len = io.sb_len_wr;
    int format = len > 0 ? s[0] & 0x7f : 0;
    if ((format == 0x70 || format == 0x71) && len >= 14)
        return (s[2] & 0x0f) == key && s[12] == asc && s[13] == ascq;
    if ((format == 0x72 || format == 0x73) && len >= 4)
        return (s[1] & 0x0f) == key && s[2] == asc && s[3] == ascq;
    return false;
}

// Asks the unit through its sg node, with the request's own time limit. The
// node is whatever the configuration names: a terminal there must not
// become the daemon's.
UnitState askUnit(const char *sg)
{
    if (sg == nullptr)
        return UnitState::unknown;
    owned::unique_fd fd(::open(sg, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid())
        return UnitState::unknown;
    unsigned char testUnitReady[6] = {};
    unsigned char sense[32] = {};
    sg_io_hdr io{};
    io.interface_id = 'S';
    io.dxfer_direction = SG_DXFER_NONE;
    io.cmd_len = sizeof testUnitReady;
    io.cmdp = testUnitReady;
    io.mx_sb_len = sizeof sense;
    io.sbp = sense;
    io.timeout = paths::kProbeTimeoutMs;
    return unitState(::ioctl(fd.get(), SG_IO, &io), io);
}

// Reads until the buffer is full or the file has ended (fd -1 then).
void fill(LineReader &text)
{
    while (text.fd >= 0 && text.end < text.buffer + text.size) {
        ssize_t got = ::read(text.fd, text.end, static_cast<size_t>(text.buffer + text.size - text.end));
        if (got <= 0)
            text.fd = -1;
        else
            text.end += got;
    }
}

// A disk the daemon stopped, idle since: still stopped, or stopped again.
// After an answer that says neither it is left alone until it is next idle.
void probe(DiskEntry &entry)
{
    switch (askUnit(entry.sg)) {
    case UnitState::stopped:
        return;
    case UnitState::running: {
        debugPrint(paths::kMsgUsbWoken);
        statusEvent(entry, DiskEvent::woken);
        entry.asleep = spinDown(entry) ? 1 : 0;
        return;
    }
    case UnitState::unknown:
        entry.asleep = 0;
        return;
    }
}

} // namespace

LineReader readText(int fd, char *buffer, size_t size)
{
    LineReader text{};
    text.fd = fd;
    text.buffer = text.at = text.end = buffer;
    text.size = size;
    fill(text);
    return text;
}

bool readLine(char *line, size_t size, LineReader &text, bool refill)
{
    size_t length = std::min(static_cast<size_t>(text.end - text.at), size - 1);
    const void *newline = std::memchr(text.at, '\n', length);
    if (newline == nullptr && length < size - 1 && text.fd >= 0) {
        if (!refill)
            return false;
        std::memmove(text.buffer, text.at, length);
        text.at = text.buffer;
        text.end = text.buffer + length;
        fill(text);
        length = std::min(static_cast<size_t>(text.end - text.at), size - 1);
        newline = std::memchr(text.at, '\n', length);
    }
    if (length == 0)
        return false;
    if (newline != nullptr)
        length = static_cast<size_t>(static_cast<const char *>(newline) - text.at) + 1;
    std::memcpy(line, text.at, length);
    line[length] = '\0';
    text.at += length;
    return true;
}

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
    for (DiskEntry &entry : diskTable)
        entry.seen = 0;
    owned::unique_fd fd(::open(paths::kDiskstats, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        debugPrint(paths::kMsgDiskstatsOpenError);
        return 1;
    }
    LineReader text = readText(fd.get(), sampleBuffer + sampleStart, sizeof sampleBuffer - sampleStart);
    char line[kLineSize];
    bool readAny = false;
    while (readLine(line, sizeof line, text, true)) {
        readAny = true;
        if (line[0] == '\n' || diskTable[0].sd == nullptr)
            continue;
        // The name first, and the counters only of a watched disk's line:
        // splitting every line whole costs about a third more instructions
        // per idle cycle with a few dozen lines (make bench measures it).
        char *p = line;
        char *field[kDiskstatsFields] = {};
        if (!diskstatsSplit(p, field, 0, kDiskstatsName + 1))
            continue;
        DiskEntry *entry = findEntry(field[kDiskstatsName]);
        if (entry != nullptr && diskstatsSplit(p, field, kDiskstatsName + 1, kDiskstatsFields) &&
            isCounter(field[kDiskstatsReads]) && isCounter(field[kDiskstatsWrites]))
            sample(*entry, field[kDiskstatsReads], field[kDiskstatsWrites]);
    }
    // A sample that read nothing at all says nothing about any disk.
    for (size_t i = 0; readAny && i < kDiskTableSize && diskTable[i].sd != nullptr; ++i)
        if (diskTable[i].seen == 0)
            statusEvent(diskTable[i], DiskEvent::lineMissing);
    return 0;
}

int spinDownUsbHdd(int minute)
{
    debugPrint(paths::kMsgSpinDown);
    for (size_t i = 0; i < kDiskTableSize && diskTable[i].sd != nullptr; ++i) {
        DiskEntry &entry = diskTable[i];
        debugPrintf(paths::kMsgEntry, entry.sd, static_cast<int>(i), entry.used, entry.count,
                    minute);
        if (entry.used != 1 || entry.seen != 1)
            continue;
        if (entry.count == minute) {
            bool done = spinDown(entry);
            entry.asleep = done && probeWakes && entry.ide != 1 ? 1 : 0;
        } else if (entry.asleep == 1 && minute > 0 && entry.count % minute == 0) {
            probe(entry);
        }
    }
    return 0;
}

UnitState unitState(int rc, const sg_io_hdr &io)
{
    constexpr int kCheckCondition = 0x02;
    constexpr int kNotReady = 0x02;
    constexpr int kUnitNotReady = 0x04;
    constexpr int kInitializingCommandRequired = 0x02;
    if (rc != 0 || io.host_status != 0)
        return UnitState::unknown;
    if ((io.info & SG_INFO_OK_MASK) == SG_INFO_OK)
        return UnitState::running;
    if (io.status == kCheckCondition && senseIs(io, kNotReady, kUnitNotReady, kInitializingCommandRequired))
        return UnitState::stopped;
    return UnitState::unknown;
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

void fanOnAtExit()
{
    owned::unique_fd fd(::open(paths::kFanDevice, O_RDWR | O_SYNC | O_CLOEXEC));
    if (fd.valid()) {
        unsigned char arg[4] = {1, 0, 0, 0};
        ::ioctl(fd.get(), paths::kFanRequest, arg);
    }
}
