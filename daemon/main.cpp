// torpord: spins down idle disks. Detaches, writes its pid file, switches
// off the internal disk's own standby timer and then, once a minute,
// reloads the watched disks when asked (SIGHUP), samples their counters,
// spins down those idle for SpinDownTime minutes and keeps the status file.
// SIGTERM ends it.

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "console.h"
#include "disk_monitor.h"
#include "owned.h"
#include "paths.h"
#include "run_tool.h"
#include "spindown_conf.h"
#include "status.h"

namespace {

constexpr int kFirstUnusedFd = 256;
constexpr int kWaitSeconds = 60;

// Descriptors 0-2 on /dev/null, so that nothing the daemon or its tools
// write to them can land in a file opened later.
void quietStandardFds()
{
    int fd = ::open(paths::kDevNull, O_RDWR);
    if (fd < 0)
        return;
    while (fd >= 0 && fd < 2)
        fd = ::dup(fd);
    if (fd > 2)
        ::close(fd);
}

void writePidFile()
{
    owned::unique_fd fd(::open(paths::kPidFile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.valid())
        return;
    char text[16];
    int len = snprintf(text, sizeof text, paths::kPidFormat, static_cast<int>(::getpid()));
    ssize_t written = ::write(fd.get(), text, static_cast<size_t>(len));
    (void)written;
}

void disableStandbyTimer()
{
    ToolArg hdparm(paths::kHdparm);
    ToolArg standbyOff(paths::kHdparmStandbyOff);
    ToolArg disk(paths::kInternalDisk);
    char *argv[] = {hdparm.text, standbyOff.text, disk.text, nullptr};
    runWithTimeout(paths::kHdparm, argv);
}

void waitForNextCycle()
{
    for (int second = 0; second < kWaitSeconds; ++second) {
        ::sleep(1);
        if (reloadRequested)
            return;
    }
}

} // namespace

void daemonize()
{
    for (int fd = 0; fd < kFirstUnusedFd; ++fd)
        ::close(fd);
    quietStandardFds();
    pid_t pid = ::fork();
    if (pid < 0) {
        puts(paths::kMsgForkError);
        exit(0);
    }
    if (pid > 0)
        exit(0);
    if (::setsid() < 0)
        puts(paths::kMsgForkError);
    pid = ::fork();
    if (pid < 0) {
        puts(paths::kMsgForkError);
        exit(0);
    }
    if (pid > 0)
        exit(0);
    ::umask(0);
}

// A disk may spin after the daemon is gone, whatever it was doing: never
// without its fan.
void onSigTerm(int)
{
    killWaitedChild();
    fanOnAtExit();
    if (debugModeOn())
        consoleWriteDirect(paths::kMsgSigTerm);
    _exit(0);
}

void onSigHup(int)
{
    reloadRequested = 1;
}

namespace {

// -w: ask spun-down USB disks whether something started them. Without
// options the daemon does exactly what it always did.
bool takeOptions(int argc, char *argv[])
{
    int option = 0;
    while ((option = getopt(argc, argv, paths::kOptions)) != -1) {
        if (option != 'w')
            return false;
        probeWakes = true;
    }
    return optind == argc;
}

} // namespace

int main(int argc, char *argv[])
{
    if (!takeOptions(argc, argv)) {
        fputs(paths::kUsage, stderr);
        return 1;
    }
    daemonize();
    signal(SIGTERM, onSigTerm);
    signal(SIGHUP, onSigHup);
    debugPrint(paths::kMsgStart);
    writePidFile();
    disableStandbyTimer();
    reloadRequested = 1;
    for (;;) {
        if (reloadRequested)
            loadSpinDownConf();
        checkUsbHddIO();
        spinDownUsbHdd(SpinDownTime);
        statusWrite();
        waitForNextCycle();
    }
}
