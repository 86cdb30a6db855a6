#ifndef TORPORD_SPINDOWN_CONF_H
#define TORPORD_SPINDOWN_CONF_H

// The watched disks, read from /tmp/spindownd.conf: one line per disk, five
// tab-separated fields (ide, usbp, sd, sg, sec).

#include <signal.h>
#include <stddef.h>

#include "status.h"

// Room for a counter of /proc/diskstats: 20 digits, a newline where the
// field ends its line, and the NUL. A longer field is no counter.
inline constexpr size_t kCounterSize = 24;

// The names point into the head of sampleBuffer, where each load keeps them.
struct DiskEntry {
    char *sd;  // block device name as /proc/diskstats has it, e.g. "sda"
    char *sg;  // SCSI generic device path as written, for sg_start
    int ide;   // 1 for the internal disk
    int used;  // 1 for an entry filled from the file
    int count; // idle cycles since the counters last changed
    char rio[kCounterSize]; // reads-completed text at the last change; empty for none
    char wio[kCounterSize]; // writes-completed text at the last change
    int seen;  // 1 when the last sample had the disk's line
    int asleep; // 1 while a USB disk stopped by the daemon is asked whether it still is
    DiskStatus status;
};

inline constexpr size_t kDiskTableSize = 6;

// Entries in use form a prefix; a walk stops at the first entry without sd.
extern DiskEntry diskTable[kDiskTableSize];
// Idle minutes (cycles) after which a disk is spun down; the last line's.
extern int SpinDownTime;
// Set by main and the SIGHUP handler, cleared by loadSpinDownConf as it
// begins: it is set again when a SIGHUP came during the load.
extern volatile sig_atomic_t reloadRequested;

// Both files are read line by line into a buffer of this size.
inline constexpr size_t kLineSize = 1024;

// The fields of one configuration line, pointing into the line.
struct ConfFields {
    const char *ide;
    const char *usbp;
    const char *sd; // the device path; the name is sd + 5
    const char *sg;
    const char *sec;
};

// Splits line in place at runs of tabs. false when the line is outside the
// format: fewer than five fields, or a third field shorter than five bytes.
bool confParseLine(char *line, ConfFields &fields);

// The spin-down minutes of a sec text: decimal seconds divided by 60.
int confMinutes(const char *sec);

// Empties diskTable and refills it from the file, each disk keeping its
// status figures, and its names at the head of sampleBuffer; sets
// SpinDownTime from the last line taken. Returns 1 when the file cannot be
// opened, else 0.
int loadSpinDownConf();

#endif
