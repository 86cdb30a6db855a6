#ifndef TORPOR_TESTS_DAEMON_HARNESS_H
#define TORPOR_TESTS_DAEMON_HARNESS_H

// The daemon's world inside a sandbox: a console that the test reads, the
// stand-in tools over /sbin/hdparm and /usr/local/bin/sg_start, a
// /proc/diskstats the test writes or feeds sample by sample, the stand-in
// fan driver on /dev/leddrv, and the real torpord binary run with its
// minutes sped up. For use inside sandbox::own_pids only.
//
// How a daemon test is built:
// - The world. fed(conf, fan, body) makes a sandbox with its own pids, a
//   World in it (private /dev with a console FIFO, a tmpfs on /run, the
//   stand-ins installed), writes conf as /tmp/spindownd.conf, starts the
//   built torpord with VARNOK_DEBUG_MODE=on and hands body the World and
//   the daemon's pid. With tools_on_console (fed does it) the stand-ins'
//   events ("run: ...", "fan: ...") land on the console between the
//   daemon's own lines, so one text shows their order.
// - Fed samples. /proc/diskstats is a FIFO: each sample the daemon takes
//   blocks until the test serves it, so the daemon never runs ahead of the
//   test. serve(text) is the handshake: it first waits for the previous
//   sample's "torpord:spinDownUsbHdd" trace (the daemon has closed the
//   FIFO by then), then waits for the daemon to open it again and writes
//   text. After serve(k) returns, cycle k-1 is done and cycle k has begun.
// - Reading results. cycle(n) is the console text of cycle n, from its
//   "torpord:checkUsbHddIO" line to the next; it waits for cycle n + 1 to
//   begin, so serve one sample more than the cycles you read. Compare it
//   with the whole expected text. A signal sent after
//   console.wait_for("torpord:checkUsbHddIO\n", k) reaches the daemon
//   while it waits for sample k.
// - The fast clock. The daemon runs with LD_PRELOAD of the fast clock and
//   TORPOR_FAST_CLOCK=600: a sleep of a process with no running child takes
//   a 600th of its time, so a minute passes in a tenth of a second, while a
//   sleep during a tool's run lasts its real length and ends with the tool:
//   tools keep their five real seconds.
// - Patience. Nothing here depends on how fast a process runs: tests wait
//   for events, and only a failing test waits out kPatience.

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace harness {

// Seconds a test waits for an event before it gives up: enough for a slow,
// loaded or emulated machine.
inline constexpr int kPatience = 120;

// Path of a runnable copy of the recording stand-in, inside the sandbox.
std::string standin_program();

// Skips the test (sandbox::skip) when the built programs cannot be started
// from here: an emulated process (qemu-arm without a binfmt_misc handler)
// can start only programs of the build machine.
void require_programs();

// One /proc/diskstats line with the given name and read/write counters.
std::string stats_line(std::string_view name, long reads, long writes);

// How often needle occurs in text.
size_t count(std::string_view text, std::string_view needle);

// The names of the processes of this pid namespace, other than the test's
// own, that are still alive (not zombies), one per line.
std::string live_processes();

// A SIGHUP to this process every tenth of a second while this lives, caught
// by a handler that does nothing, as the daemon's would be: every sleep of
// the process is cut short again and again.
class Hangups {
public:
    Hangups();
    ~Hangups();
    Hangups(const Hangups &) = delete;
    Hangups &operator=(const Hangups &) = delete;

private:
    pid_t sender_ = -1;
};

// The console: a FIFO on /dev/console that the test drains.
class Console {
public:
    Console();
    ~Console();
    Console(const Console &) = delete;
    Console &operator=(const Console &) = delete;

    // Everything written so far.
    const std::string &text();
    // Waits (up to timeout seconds) until needle has occurred n times.
    bool wait_for(std::string_view needle, size_t n = 1, int timeout = kPatience);

private:
    void drain(int wait_ms);
    int reader_ = -1;
    int writer_ = -1;
    std::string text_;
};

struct Options {
    const char *debug = "on"; // VARNOK_DEBUG_MODE; nullptr leaves it unset
    bool fast = true;         // the fast clock: a minute in a tenth of a second
};

// Where the daemon's samples come from.
enum class Samples {
    file, // a scratch file that diskstats() rewrites; the daemon runs freely
    fed,  // a FIFO: each sample waits until the test serves it
};

// Everything a daemon run needs. The constructor makes /dev private with the
// console, mounts a tmpfs on /run, installs the stand-ins and binds the
// scratch file or FIFO over /proc/diskstats.
class World {
    struct PrivateDev {
        PrivateDev();
    } dev_; // before the console, which lives on the private /dev

public:
    explicit World(Samples samples = Samples::file);

    Console console;

    void config(std::string_view text);
    void diskstats(std::string_view text);
    // Hands text to the daemon's next sample (Samples::fed, debug mode on):
    // waits until the previous sample is over and the next one opens.
    void serve(std::string_view text);
    // The kernel's own /proc/diskstats, which the FIFO covers.
    std::string kernel_diskstats();
    // Stand-in events ("run: ...", "fan: ..."), in order.
    std::string tool_log();
    // Waits until the stand-ins' log holds needle.
    bool wait_for_tool(std::string_view needle);
    // The tool and fan events go to the console instead, so that their order
    // against the daemon's trace shows.
    void tools_on_console();

    // Mounts the stand-in fan driver on /dev/leddrv.
    void start_fan();

    // Starts build/torpord; returns the detached daemon's pid (0 on failure).
    pid_t start(const Options &options = {});
    // SIGTERM; the daemon's wait status, or -1 when it did not end.
    int stop(pid_t daemon);

    // Text of cycle n (from 1): from its "checkUsbHddIO" trace to the next.
    // Waits for the next cycle to begin.
    std::string cycle(size_t n);
    // Waits until cycle n has sampled and traced its table walk start.
    bool after_sample(size_t n);

private:
    std::string diskstats_file_;
    size_t served_ = 0;
};

// Runs body with a World in a sandbox with its own pids.
void in_world(const std::function<void(World &)> &body, Samples samples = Samples::file);

// A daemon started on conf whose samples the test serves one by one, with
// the stand-ins' events on the console (and the fan driver mounted when
// asked).
void fed(std::string_view conf, bool fan, const std::function<void(World &, pid_t)> &body);

// Whether a wait status is an exit with status 0.
bool exited_zero(int status);

} // namespace harness

#endif
