#ifndef TORPOR_TOOLS_STANDIN_H
#define TORPOR_TOOLS_STANDIN_H

// Where the stand-ins for the appliance's tools and fan driver record what
// they were asked, and where they look for what to do. All under /tmp, so
// inside a sandbox they are the sandbox's own files.

#include <fcntl.h>
#include <unistd.h>

#include <string_view>

namespace standin {

inline constexpr char kDir[] = "/tmp/standin";
// One line per event: "run: ARGV..." for a tool, "fan: STATE" for the fan.
inline constexpr char kLog[] = "/tmp/standin/log";
// A tool whose base name follows this prefix as a file hangs until killed,
// after recording "hang[PID]: PATH".
inline constexpr char kHangPrefix[] = "/tmp/standin/hang-";
// A tool whose base name follows this prefix as a file ends with the status
// that the file holds, once it has recorded its run.
inline constexpr char kExitPrefix[] = "/tmp/standin/exit-";
// The fan driver fails as many requests as this file's number says.
inline constexpr char kFanFail[] = "/tmp/standin/leddrv-fail";
// While this file exists the fan driver refuses to be opened (ENXIO).
inline constexpr char kFanAbsent[] = "/tmp/standin/leddrv-absent";

// Appends one event line to the log in a single write, so that lines of
// concurrent writers never mix.
inline void record(std::string_view line)
{
    int fd = ::open(kLog, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    ssize_t written = ::write(fd, line.data(), line.size());
    (void)written;
    ::close(fd);
}

} // namespace standin

#endif
