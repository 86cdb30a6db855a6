/* A program of the appliance using the installed library from C:
 * consumer LOCKFILE reports one coded failure and takes and gives back a lock. */
#include <errlog.h>
#include <plock.h>

#include <stdio.h>

int main(int argc, char **argv)
{
    int fd;

    if (argc != 2)
        return 64;
    if (errlog_open(argc, argv) != 0)
        return 1;
    if (errlog_write(2, 5, "consumer reported, errno=%d\n", 0) != 0)
        return 2;
    fd = plock_init(argv[1]);
    if (fd < 0)
        return 3;
    if (plock_trylock(fd) != 0 || plock_unlock(fd) != 0 || plock_close(fd) != 0)
        return 4;
    errlog_close();
    puts("consumer done");
    return 0;
}
