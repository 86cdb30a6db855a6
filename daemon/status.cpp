#include "status.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "owned.h"
#include "paths.h"
#include "spindown_conf.h"

namespace {

enum DiskState { kActive, kIdle, kSpunDown, kUnseen };

struct DiskStatus {
    char *sd; // whose figures these are, to find them again after a reload
    DiskState state;
    DiskState before; // the state it returns to when its line comes back unchanged
    bool sampled;     // seen by a sample since the last load
    time_t since;     // when the state began, for display only
    int spinDowns;
    long long downNs;   // completed spun-down periods
    long long downFrom; // when the current one began, on the monotonic clock
};

DiskStatus disks[kDiskTableSize];
bool changed = false;

// Room for the header and six lines of the longest label and name a
// configuration line can give.
char text[128 + kDiskTableSize * (2 * kLineSize + 128)];

// The time of this update, read only when something changes: durations on
// the monotonic clock, which setting the wall clock does not move.
struct Now {
    bool read = false;
    time_t wall = 0;
    long long ns = 0;

    void get()
    {
        if (read)
            return;
        timespec t{};
        ::clock_gettime(CLOCK_MONOTONIC, &t);
        ns = t.tv_sec * 1'000'000'000LL + t.tv_nsec;
        wall = ::time(nullptr);
        read = true;
    }
};

void enter(DiskStatus &disk, DiskState next, Now &now)
{
    now.get();
    if (disk.state == kSpunDown)
        disk.downNs += now.ns - disk.downFrom;
    if (next == kSpunDown)
        disk.downFrom = now.ns;
    disk.state = next;
    disk.since = now.wall;
    changed = true;
}

long long secondsDown(const DiskStatus &disk, Now &now)
{
    long long ns = disk.downNs;
    if (disk.state == kSpunDown) {
        now.get();
        ns += now.ns - disk.downFrom;
    }
    return ns / 1'000'000'000LL;
}

void writeFile(Now &now)
{
    int len = std::snprintf(text, sizeof text, paths::kStatusHeader, static_cast<int>(::getpid()));
    for (size_t i = 0; i < kDiskTableSize && diskTable[i].sd != nullptr; ++i) {
        const DiskEntry &entry = diskTable[i];
        const DiskStatus &disk = disks[i];
        if (len < 0 || static_cast<size_t>(len) >= sizeof text)
            return;
        len += std::snprintf(text + len, sizeof text - static_cast<size_t>(len),
                             paths::kStatusLine, entry.usbp ? entry.usbp : "", entry.sd,
                             paths::kStateNames[disk.state], static_cast<long long>(disk.since),
                             SpinDownTime, disk.spinDowns, secondsDown(disk, now));
    }
    if (len < 0 || static_cast<size_t>(len) >= sizeof text)
        return;
    owned::unique_fd fd(::open(paths::kStatusNewFile,
                               O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.valid())
        return;
    bool whole = ::write(fd.get(), text, static_cast<size_t>(len)) == len;
    if (fd.reset() != 0 || !whole || std::rename(paths::kStatusNewFile, paths::kStatusFile) != 0)
        ::unlink(paths::kStatusNewFile);
}

} // namespace

void statusLoaded()
{
    DiskStatus old[kDiskTableSize];
    std::memcpy(old, disks, sizeof disks);
    Now now;
    now.get();
    for (size_t i = 0; i < kDiskTableSize; ++i) {
        DiskStatus &disk = disks[i];
        disk = DiskStatus{nullptr, kUnseen, kActive, false, now.wall, 0, 0, 0};
        const char *sd = diskTable[i].sd;
        if (sd == nullptr)
            continue;
        for (DiskStatus &kept : old) {
            if (kept.sd != nullptr && std::strcmp(kept.sd, sd) == 0) {
                disk = kept;
                disk.sampled = false;
                kept.sd = nullptr;
                break;
            }
        }
        if (disk.sd == nullptr)
            disk.sd = ::strdup(sd);
    }
    for (DiskStatus &dropped : old)
        std::free(dropped.sd);
    changed = true;
}

void statusUpdate()
{
    Now now;
    for (size_t i = 0; i < kDiskTableSize && diskTable[i].sd != nullptr; ++i) {
        const DiskEntry &entry = diskTable[i];
        DiskStatus &disk = disks[i];
        if (entry.seen != 1) {
            if (disk.state != kUnseen) {
                disk.before = disk.state;
                enter(disk, kUnseen, now);
            }
            continue;
        }
        // The first sample after a load counts as activity for the idle
        // count, but it shows nothing of the disk: the disk stays as it was.
        bool first = !disk.sampled;
        disk.sampled = true;
        DiskState next = disk.state == kUnseen ? disk.before : disk.state;
        if (entry.spunDown == 1) {
            next = kSpunDown;
            ++disk.spinDowns;
            changed = true;
        } else if (entry.count == 0 && !first) {
            next = kActive;
        } else if (entry.count > 0 && next == kActive) {
            next = kIdle;
        }
        if (next != disk.state)
            enter(disk, next, now);
    }
    if (changed)
        writeFile(now);
    changed = false;
}
