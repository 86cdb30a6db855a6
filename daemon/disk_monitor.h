#ifndef TORPORD_DISK_MONITOR_H
#define TORPORD_DISK_MONITOR_H

#include <scsi/sg.h>
#include <stddef.h>

// The work of each cycle: sample /proc/diskstats into diskTable, spin down
// the disks whose idle count has just reached the threshold, and drive the
// fan through the LED/fan driver.

// The fields of a /proc/diskstats line that the sample uses, numbered from 0,
// and the number a line must have.
inline constexpr int kDiskstatsName = 2;   // device name
inline constexpr int kDiskstatsReads = 3;  // reads completed
inline constexpr int kDiskstatsWrites = 7; // writes completed
inline constexpr int kDiskstatsFields = 8;

// Splits fields first to end - 1 of a /proc/diskstats line in place, from p
// on: runs of blanks and tabs separate them (a newline stays part of its
// field), each is ended with a NUL, and p moves past them. false when the
// line ends before field end - 1.
bool diskstatsSplit(char *&p, char *(&field)[kDiskstatsFields], int first, int end);

// Samples the counters, updates each watched disk's count and tells the
// status what the sample showed; switches the fan on when the internal disk
// was active. 1 when the file cannot be opened, else 0.
int checkUsbHddIO();

// Spins down every watched disk whose line the last sample saw and whose
// count equals minute, and tells the status each whose command ended with
// status 0; with -w, asks those it stopped whether they still are. When the
// internal disk's command fails, its fan is switched on again. A USB disk is
// stopped only once the kernel may start it again on its next access
// (allow_restart). Returns 0.
int spinDownUsbHdd(int minute);

// With -w: while a USB disk that the daemon stopped stays idle, it is asked
// every minute minutes whether it is still stopped (TEST UNIT READY, which
// does not start it); one found running has been started behind the
// daemon's back and is stopped again.
extern bool probeWakes;

enum class UnitState { stopped, running, unknown };

// What the answer to TEST UNIT READY says: stopped only for NOT READY with
// 04/02 (an initializing command is required), running for good status,
// unknown for anything else, a failed request (rc != 0) included.
UnitState unitState(int rc, const sg_io_hdr &io);

// A file read through a buffer, and how far readLine has come in it.
struct LineReader {
    int fd; // the file, -1 once its end (or an error) was read
    char *buffer;
    size_t size;
    char *at;
    char *end;
};

// Starts reading the open file fd through the size bytes at buffer: reads
// until they are full, the file ends, an error or a read that would block.
LineReader readText(int fd, char *buffer, size_t size);

// Copies the next line of the text into line as fgets would: up to and with
// its newline, a longer line in pieces of size - 1 characters, with a NUL
// after it. When the buffer's rest holds no such piece and the file goes
// on, the rest moves to the buffer's start and more is read after it; with
// refill false the text ends there instead. false at the end of the text.
bool readLine(char *line, size_t size, LineReader &text, bool refill);

// Sets the fan on (1) or off (0). 0 on success, 1 on failure.
int fanCtrl(int state);

// Sets the fan on with one request, silently: async-signal-safe, for the
// TERM handler. Without a driver nothing changes.
void fanOnAtExit();

// The sample is read into this buffer whole, so that it costs one read and
// the end-of-file read; any appliance's file fits. Its first sampleStart
// bytes hold the watched disks' names, and the configuration's text passes
// through the rest as it is loaded. So the daemon allocates nothing: a heap
// would be a page of its own (4 kB of VmRSS, Pss and USS), where the names
// share the page of the program's data.
extern char sampleBuffer[64 * 1024];
extern size_t sampleStart;

#endif
