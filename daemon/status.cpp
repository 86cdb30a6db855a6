#include "status.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "owned.h"
#include "paths.h"
#include "spindown_conf.h"

namespace {

// Set by every change; cleared only by a write that completed, so that a
// failed one is tried again in the next cycle.
bool owed = false;

// Each event's next state, by the state now: active, idle, spun-down. A disk
// whose line went missing first goes back to the state it had then.
constexpr DiskState kNext[][3] = {
    /* sampled busy */ {DiskState::active, DiskState::active, DiskState::active},
    /* sampled idle */ {DiskState::idle, DiskState::idle, DiskState::spunDown},
    /* line back    */ {DiskState::active, DiskState::idle, DiskState::spunDown},
    /* spun down    */ {DiskState::spunDown, DiskState::spunDown, DiskState::spunDown},
    /* woken        */ {DiskState::idle, DiskState::idle, DiskState::idle},
};

// Durations on the clock that goes on in a suspend, as the disks stay down,
// and that setting the wall clock does not move.
long long nowNs()
{
    timespec t{};
    ::clock_gettime(CLOCK_BOOTTIME, &t);
    return t.tv_sec * 1'000'000'000LL + t.tv_nsec;
}

void enter(DiskStatus &disk, DiskState next)
{
    long long now = nowNs();
    if (disk.state == DiskState::spunDown)
        disk.downNs += now - disk.downFrom;
    disk.downFrom = now;
    disk.state = next;
    disk.since = ::time(nullptr);
    owed = true;
}

// One line, from a buffer on the stack; false unless it was written whole.
__attribute__((format(printf, 2, 3))) bool writeLine(int fd, const char *format, ...)
{
    char line[2 * kLineSize + 128]; // the longest label and device name
    va_list args;
    va_start(args, format);
    int len = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    return len >= 0 && len < static_cast<int>(sizeof line) && ::write(fd, line, len) == len;
}

// The temporary file is always a new regular file of ours: whatever has its
// name goes first, and nothing else is opened, nor waited for.
bool writeFile()
{
    std::remove(paths::kStatusNewFile);
    owned::unique_fd fd(::open(paths::kStatusNewFile,
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                               0644));
    if (!fd.valid())
        return false;
    long long now = nowNs();
    bool whole = writeLine(fd.get(), paths::kStatusHeader, static_cast<int>(::getpid()));
    for (size_t i = 0; whole && i < kDiskTableSize && diskTable[i].sd != nullptr; ++i) {
        const DiskStatus &disk = diskTable[i].status;
        long long down = disk.downNs + (disk.state == DiskState::spunDown ? now - disk.downFrom : 0);
        whole = writeLine(fd.get(), paths::kStatusLine, disk.label ? disk.label : "",
                          diskTable[i].sd, paths::kStateNames[static_cast<int>(disk.state)],
                          static_cast<long long>(disk.since), SpinDownTime, disk.spinDowns,
                          down / 1'000'000'000LL, disk.wakes);
    }
    if (fd.reset() == 0 && whole && std::rename(paths::kStatusNewFile, paths::kStatusFile) == 0)
        return true;
    ::unlink(paths::kStatusNewFile);
    return false;
}

} // namespace

void statusEvent(DiskEntry &entry, DiskEvent event)
{
    DiskStatus &disk = entry.status;
    if (event == DiskEvent::lineMissing) {
        if (disk.state != DiskState::unseen) {
            disk.back = disk.state;
            enter(disk, DiskState::unseen);
        }
        return;
    }
    if (disk.state == DiskState::unseen)
        enter(disk, disk.back);
    if (event == DiskEvent::spunDown) {
        ++disk.spinDowns;
        owed = true;
    } else if (event == DiskEvent::woken) {
        ++disk.wakes;
        owed = true;
    }
    DiskState next = kNext[static_cast<int>(event)][static_cast<int>(disk.state)];
    if (next != disk.state)
        enter(disk, next);
}

void statusLoaded(DiskEntry *old)
{
    for (size_t i = 0; i < kDiskTableSize && diskTable[i].sd != nullptr; ++i) {
        DiskStatus &disk = diskTable[i].status;
        DiskStatus kept{disk.label, DiskState::unseen, DiskState::active, ::time(nullptr), 0, 0, 0, 0};
        for (size_t k = 0; k < kDiskTableSize; ++k) {
            if (old[k].sd != nullptr && std::strcmp(old[k].sd, diskTable[i].sd) == 0) {
                kept = old[k].status;
                kept.label = disk.label;
                old[k].sd = nullptr; // taken: a second line of that name starts anew
                break;
            }
        }
        disk = kept;
    }
    owed = true;
}

void statusWrite()
{
    if (owed)
        owed = !writeFile();
}
