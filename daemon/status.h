#ifndef TORPORD_STATUS_H
#define TORPORD_STATUS_H

// The status file: for each watched disk its state (active, idle, spun-down
// or unseen), since when, and how often and how long it was spun down since
// the daemon started, and how often it was found woken without I/O, for the
// appliance's own programs to show. It is replaced whole, and only when a
// state or a figure changed or the last write did not complete, so a cycle
// in which nothing happens writes nothing.

#include <time.h>

struct DiskEntry;

enum class DiskState { active, idle, spunDown, unseen };

// What befalls a watched disk, in the order of its cycle.
enum class DiskEvent {
    sampledBusy, // its counters moved
    sampledIdle, // they did not
    lineBack,    // its first sample since a load: nothing to compare yet
    spunDown,    // a spin-down command for it ended with status 0
    woken,       // stopped by the daemon, idle since, and found running
    lineMissing, // a sample that read lines had none of it
};

// A disk's part of the file, kept in its table entry.
struct DiskStatus {
    char *label; // its place, from its configuration line
    DiskState state;
    DiskState back; // the state it had when its line went missing
    time_t since;   // when the state began, for display only
    int spinDowns;
    long long downNs, downFrom; // spun-down periods done; the current one's start
    int wakes;                  // times it was found woken without I/O
};

void statusEvent(DiskEntry &entry, DiskEvent event);

// Each disk of the new table takes the figures of its device in old, the
// table before the load, and keeps its new label; any other starts unseen.
void statusLoaded(DiskEntry *old);

// At the end of each cycle: writes the file when it is owed.
void statusWrite();

#endif
