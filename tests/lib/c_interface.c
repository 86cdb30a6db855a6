/* Compiled as C: every public header of the library, used from C. */
#include "conflist.h"
#include "errlog.h"
#include "fileutil.h"
#include "plock.h"
#include "share.h"
#include "text.h"
#include "textsel.h"

#include "c_interface.h"

int c_interface_run(void)
{
    char prog[] = "c-caller";
    char *words[] = {prog};
    ShareEntry entry = {"name", "hda"};
    ConfNode node = {0, 0, 0, 0};
    int failures = 0;

    failures += errlog_open(1, words) != 0;
    failures += errlog_write(2, 5, "from C %s, errno=%d\n", entry.name, 2) != 0;
    failures += errlog_trace("%s\n", entry.place) != 0;
    errlog_close();
    failures += plock_close(-1) != -1;
    failures += node.next != 0;
    return failures;
}
