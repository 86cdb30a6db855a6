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

typedef struct ShareEntry {
    char name[16];
    char place[16];
} ShareEntry;

/* "personal" 0, "group" 1, "nobody" 2, "alluser" 3 (also for null); else -1. */
int CnvPermission(const char *word);

/* "hda" 0, "usbp1" .. "usbp5" 1 .. 5; else -1. */
int CnvPlace(const char *place);

/* Lists the share-root entries owned by group gid. Returns their number;
 * *out receives a heap array (free it), or null when the number is 0. */
int share_list_by_group(ShareEntry **out, gid_t gid);

/* Runs /bin/chgrp -R group "<root of place>/folder". 0 on success, else 1. */
int share_chgrp(const char *place, const char *folder, const char *group);

/* Sorts the non-empty lines of inbuf, each ended by "\n". 0, or 16 when
 * memory runs short. *outbuf receives a heap string (free it) or inbuf itself;
 * release it only when it differs from inbuf. */
int sortOutBuffer(const char *inbuf, char **outbuf);

#ifdef __cplusplus
}
#endif

#endif
