#ifndef TORPOR_SHARE_H
#define TORPOR_SHARE_H

/*
 * Share folders: permission and place words, entries of the share roots
 * /mnt/hda3/share and /mnt/usb1/share .. /mnt/usb5/share by group, handing a
 * folder to a group, and sorting the lines of a text buffer.
 */

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One entry of a share root: its name and the place of its root, both
 * NUL-terminated. An entry whose name does not fit (16 bytes or more) is not
 * listed, since a cut name would name some other folder or none. */
typedef struct ShareEntry {
    char name[16];
    char place[16];
} ShareEntry;

/* "personal" 0, "group" 1, "nobody" 2, "alluser" 3 (also for null); else -1. */
int CnvPermission(const char *word);

/* "hda" 0, "usbp1" .. "usbp5" 1 .. 5; else -1 (also for null). */
int CnvPlace(const char *place);

/* Lists the entries of the share roots (. and .. included) whose group is gid,
 * root by root in place order. Returns their number; *out receives a heap
 * array (free it), or null when the number is 0. An entry whose status cannot
 * be read is passed over. When the array cannot grow (reported 2/10) the
 * result is -1 and *out null: a partial list is not handed out. */
int share_list_by_group(ShareEntry **out, gid_t gid);

/* Runs /bin/chgrp -R group "<root of place>/folder". 0 on success, else 1.
 * Refused with 1, running nothing: an unknown place; a group that is not a
 * plain name or number (letters, digits, '.', '_', '-', not first '-'); a
 * folder holding '"', '`', '$', '\\' or a ".." component; names too long for
 * the 1024-byte command line (group and folder together above 990 bytes). */
int share_chgrp(const char *place, const char *folder, const char *group);

/* Sorts the non-empty lines of inbuf byte-wise, each ended by "\n". 0, or 16
 * when memory runs short. *outbuf receives a heap string (free it) or inbuf
 * itself; release it only when it differs from inbuf. An empty inbuf gives
 * inbuf itself; one of newlines only gives an empty heap string. */
int sortOutBuffer(const char *inbuf, char **outbuf);

#ifdef __cplusplus
}
#endif

#endif
