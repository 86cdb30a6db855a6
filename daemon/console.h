#ifndef TORPORD_CONSOLE_H
#define TORPORD_CONSOLE_H

// The daemon's console trace. Active only while VARNOK_DEBUG_MODE is "on";
// otherwise nothing is composed and no process is started.

#include <stddef.h>

// Messages are composed in buffers of this size; longer ones are cut.
inline constexpr size_t kTraceSize = 1024;

// Whether VARNOK_DEBUG_MODE is exactly "on", read afresh. Walks the
// environment itself, so that a signal handler may call it.
bool debugModeOn();

// Escapes message (at most kTraceSize - 1 bytes of it) for a place between
// double quotes in a /bin/sh command, so that the appliance's busybox echo
// prints the text as given. An echo that reads backslash escapes (dash's)
// cannot be served by the same text: for a backslash and an n, busybox's
// echo needs those two characters, dash's prints a newline. Returns the
// length written to dst, which must hold kQuotedSize bytes.
inline constexpr size_t kQuotedSize = 2 * (kTraceSize - 1) + 1;
size_t consoleQuote(char *dst, const char *message);

// Writes "torpord:<message>" and a newline to the console through the shell,
// which is killed when it has not ended within about five seconds.
int debugPrint(const char *message);

// Composes a trace in a kTraceSize buffer and prints it; does nothing at all
// while debug mode is off.
void debugPrintf(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The TERM handler's trace: opens the console as the shell's redirection
// would, but without waiting, and writes "torpord:<message>\n" itself; a
// console that takes no writes gets nothing. Async-signal-safe.
void consoleWriteDirect(const char *message);

#endif
