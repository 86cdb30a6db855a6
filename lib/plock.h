#ifndef TORPOR_PLOCK_H
#define TORPOR_PLOCK_H

/*
 * Advisory whole-file locks between processes (POSIX record locks).
 * A lock belongs to the process: it ends with plock_unlock, with the close of
 * any of the process's descriptors of the file, or with the process.
 */

#ifdef __cplusplus
extern "C" {
#endif

/* Opens (creating with 0600) a lock file write-only. The descriptor, or -1. */
int plock_init(const char *path);

/* Waits for an exclusive lock on the whole file. 0, or -1 (reported 1/2). */
int plock_lock(int fd);

/* Tries the same lock without waiting. 0 held, 1 busy, -1 failed (1/3). */
int plock_trylock(int fd);

/* Releases the lock. 0, or -1 (reported 1/4). */
int plock_unlock(int fd);

/* Closes the descriptor. 0, or -1; never reported. */
int plock_close(int fd);

#ifdef __cplusplus
}
#endif

#endif
