#ifndef TORPOR_ERRLOG_H
#define TORPOR_ERRLOG_H

/*
 * Error-code record and rotating trace log under /var/lock/ostrel.
 *
 * error.log holds six ASCII digits: "000000", or the first coded failure
 * ("%03d%03d" of major and minor) since the logs were last opened by any
 * process. trace.log collects report texts while the marker .trace.mode
 * existed when the logs were opened; it is kept at or below 5120 bytes and
 * rotated to trace.log.bak. Writers in different processes are serialised
 * by a whole-file lock on error.log.
 */

#ifdef __cplusplus
extern "C" {
#endif

/* Descriptors of the error log and of the trace log; -1 when not open. */
extern int errlog_fd;
extern int errlog_trace_fd;

/* Opens both logs, resets the record to "000000" and, when tracing, writes a
 * dated header line and a line of the given words. 0, or -1 on failure. */
int errlog_open(int count, char *const *words);

/* Closes both logs; a second call does nothing. */
void errlog_close(void);

/* Records the pair major/minor when both are nonzero and no code is recorded
 * yet, and appends the formatted text (at most 1023 bytes) to the trace log.
 * format may be null. 0 when handled, -1 on failure. */
int errlog_write(int major, int minor, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

/* Appends the formatted text to the trace log if it is open; never opens the
 * logs. Always 0. */
int errlog_trace(const char *format, ...) __attribute__((format(printf, 1, 2)));

#ifdef __cplusplus
}
#endif

#endif
