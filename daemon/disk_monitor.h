#ifndef TORPORD_DISK_MONITOR_H
#define TORPORD_DISK_MONITOR_H

// The work of each cycle: sample /proc/diskstats into diskTable, spin down
// the disks whose idle count has just reached the threshold, and drive the
// fan through the LED/fan driver.

#include <string_view>

// The fields of one /proc/diskstats line that the sample uses.
struct DiskstatsFields {
    std::string_view name; // field 3
    std::string_view rio;  // field 4, reads completed
    std::string_view wio;  // field 8, writes completed
};

// Splits a line at runs of blanks and tabs (a newline stays part of its
// field). false for a line with fewer than eight fields.
bool diskstatsParseLine(std::string_view line, DiskstatsFields &fields);

// Samples the counters and updates each watched disk's count; switches the
// fan on when the internal disk was active. 1 when the file cannot be
// opened, else 0.
int checkUsbHddIO();

// Spins down every watched disk whose count equals minute. Returns 0.
int spinDownUsbHdd(int minute);

// Sets the fan on (1) or off (0). 0 on success, 1 on failure.
int fanCtrl(int state);

#endif
