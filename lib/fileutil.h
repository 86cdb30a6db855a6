#ifndef TORPOR_FILEUTIL_H
#define TORPOR_FILEUTIL_H

/*
 * File, mount, command and memory helpers. Failures are reported through
 * errlog_write with major number 2. Blocks handed out are released with free.
 */

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* 0 if path (links followed) is a directory; else -1, reported (2, 2). */
int dir_check(const char *path);

/* Copies src to dst, or into dst/<last component of src> when dst is a
 * directory. 0, or -1 (reported 2/3). */
int file_copy(const char *dst, const char *src);

/* file_copy, then removes src. 0, or -1. */
int file_move(const char *dst, const char *src);

/* Creates /var/lock/ostrel/<base name>.pid exclusively and returns its
 * write-only descriptor; *path receives the path (free it). Ends the process
 * with exit status 5 when the file cannot be created. */
int pidfile_create(const char *name, char **path);

/* Remounts /dev/root on / read-write, or (after sync) read-only. 0 or -1. */
int rootfs_remount_rw(void);
int rootfs_remount_ro(void);

/* Creates path (mode 0777 whatever the umask) unless it exists. 0 or -1. */
int file_create(const char *path);

/* Appends / writes size bytes of data to path. 0, or -1. */
int file_append(const char *path, const void *data, int size);
int file_write(const char *path, const void *data, int size);

/* Reads up to size bytes of path into buf (size + 1 bytes) and terminates
 * them. 0, or -1 (reported 2/4). */
int file_read(char *buf, const char *path, int size);

/* Size of path in bytes, or -1 (reported 2/5). */
int file_size(const char *path);

/* Reads the whole file into a zero-filled block of its size + 10 bytes.
 * 0 read; 13 no size; 16 no memory; 11 unreadable. */
int file_read_all(const char *path, char **block, int *length);

/* 1 if a line of /etc/mtab holds text, 0 if none, -1 (reported 2/6). */
int mount_is_mounted(const char *text);

/* Unmounts target if it is mounted. 0, or -1 (reported 2/7). */
int mount_unmount(const char *target);

/* Traces and runs a shell command line. 0 on exit status 0, else -1 (2/8). */
int exec_command(const char *cmdline);

/* Zero-filled block, or null (reported 2/9). */
void *mem_alloc(size_t size);

/* realloc; a new block from null is zero-filled. Null on failure (2/10),
 * the old block then stays valid. */
void *mem_realloc(void *block, size_t size);

#ifdef __cplusplus
}
#endif

#endif
