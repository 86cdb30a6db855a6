#include "errlog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "plock.h"

int errlog_fd = -1;
int errlog_trace_fd = -1;

namespace {

constexpr char kErrorLogPath[] = "/var/lock/ostrel/error.log";
constexpr char kTraceLogPath[] = "/var/lock/ostrel/trace.log";
constexpr char kTraceBackupPath[] = "/var/lock/ostrel/trace.log.bak";
constexpr char kTraceMarkerPath[] = "/var/lock/ostrel/.trace.mode";
constexpr char kDebugVariable[] = "VARNOK_DEBUG_MODE";
constexpr std::string_view kNoCode = "000000";
constexpr size_t kRecordLen = 6;
constexpr size_t kTextSize = 1024;
constexpr off_t kTraceLimit = 5120;
constexpr mode_t kLogMode = 0600;
constexpr int kCodeMax = 999;

// Set while this process asks for, or gives back, the error log's lock. A
// report made by plock_lock or plock_unlock in that moment is written without
// touching the lock again, so the lock's failure reports cannot nest deeper.
bool in_lock_call = false;

// Keeps the caller's errno across a report: a failing operation reports and
// then returns, and its caller still finds the errno of the failure.
class errno_keeper {
public:
    errno_keeper() : saved_(errno) {}
    ~errno_keeper() { errno = saved_; }
    errno_keeper(const errno_keeper &) = delete;
    errno_keeper &operator=(const errno_keeper &) = delete;
    errno_keeper(errno_keeper &&) = delete;
    errno_keeper &operator=(errno_keeper &&) = delete;

private:
    int saved_;
};

int open_trace_log()
{
    return ::open(kTraceLogPath, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, kLogMode);
}

bool debug_mode_on()
{
    const char *value = std::getenv(kDebugVariable);
    return value != nullptr && std::string_view(value) == "on";
}

// Formats into buf (kTextSize bytes); the length of the text, cut to 1023.
size_t format_text(char *buf, const char *format, va_list args)
{
    int n = std::vsnprintf(buf, kTextSize, format, args);
    if (n < 0) {
        buf[0] = '\0';
        return 0;
    }
    return static_cast<size_t>(n) < kTextSize ? static_cast<size_t>(n) : kTextSize - 1;
}

// Appends one report text to the trace log, rotating it first when the text
// would take it past the limit, and echoes it in debug mode.
void append_trace(const char *text, size_t len)
{
    struct stat st {};
    off_t size = ::fstat(errlog_trace_fd, &st) == 0 ? st.st_size : 0;
    if (size + static_cast<off_t>(len) > kTraceLimit) {
        ::close(errlog_trace_fd);
        ::rename(kTraceLogPath, kTraceBackupPath);
        errlog_trace_fd = open_trace_log();
    }
    if (errlog_trace_fd != -1)
        (void)!::write(errlog_trace_fd, text, len);
    if (debug_mode_on()) {
        std::fwrite(text, 1, len, stdout);
        std::fflush(stdout);
    }
}

bool is_code(int major, int minor)
{
    return major != 0 && minor != 0;
}

bool code_fits(int n)
{
    return n >= 1 && n <= kCodeMax;
}

int lock_log()
{
    in_lock_call = true;
    int rc = plock_lock(errlog_fd);
    in_lock_call = false;
    return rc;
}

void unlock_log()
{
    in_lock_call = true;
    plock_unlock(errlog_fd);
    in_lock_call = false;
}

int write_report(int major, int minor, const char *format, va_list args)
{
    if (is_code(major, minor) && (!code_fits(major) || !code_fits(minor)))
        return -1;
    if (errlog_fd < 0 && errlog_open(0, nullptr) != 0)
        return -1;

    char record[kRecordLen + 2] = {};
    if (::pread(errlog_fd, record, kRecordLen, 0) != static_cast<ssize_t>(kRecordLen))
        return -1;
    if (is_code(major, minor) && std::string_view(record, kRecordLen) != kNoCode)
        return 0;

    // A report of the lock's own failure cannot take the lock; it is written
    // once without it.
    bool take_lock = !in_lock_call;
    if (take_lock && lock_log() != 0)
        return -1;

    if (is_code(major, minor)) {
        char code[kRecordLen + 1];
        std::snprintf(code, sizeof code, "%03d%03d", major, minor);
        if (::pwrite(errlog_fd, code, kRecordLen, 0) != static_cast<ssize_t>(kRecordLen)) {
            if (take_lock)
                unlock_log();
            return -1;
        }
    }

    if (format != nullptr && errlog_trace_fd != -1) {
        char text[kTextSize];
        size_t len = format_text(text, format, args);
        append_trace(text, len);
    }

    if (take_lock)
        unlock_log();
    return 0;
}

} // namespace

extern "C" int errlog_open(int count, char *const *words)
{
    errno_keeper keep;
    errlog_close();

    errlog_fd = ::open(kErrorLogPath, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, kLogMode);
    if (errlog_fd < 0)
        return -1;
    if (::access(kTraceMarkerPath, F_OK) == 0)
        errlog_trace_fd = open_trace_log();

    if (::pwrite(errlog_fd, kNoCode.data(), kRecordLen, 0) != static_cast<ssize_t>(kRecordLen))
        return -1;
    if (errlog_trace_fd == -1)
        return 0;

    time_t now = std::time(nullptr);
    struct tm local {};
    ::localtime_r(&now, &local);
    errlog_write(0, 0, "------ %d.%02d.%02d %02d:%02d:%02d ------\n", local.tm_year + 1900,
                 local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    for (int i = 0; i < count; ++i)
        errlog_write(0, 0, "%s ", words[i] != nullptr ? words[i] : "");
    errlog_write(0, 0, "\n");
    return 0;
}

extern "C" void errlog_close(void)
{
    if (errlog_fd != -1)
        ::close(errlog_fd);
    if (errlog_trace_fd != -1)
        ::close(errlog_trace_fd);
    errlog_fd = -1;
    errlog_trace_fd = -1;
}

extern "C" int errlog_write(int major, int minor, const char *format, ...)
{
    errno_keeper keep;
    va_list args;
    va_start(args, format);
    int rc = write_report(major, minor, format, args);
    va_end(args);
    return rc;
}

extern "C" int errlog_trace(const char *format, ...)
{
    errno_keeper keep;
    if (errlog_trace_fd == -1)
        return 0;
    char text[kTextSize] = {};
    va_list args;
    va_start(args, format);
    format_text(text, format, args);
    va_end(args);
    errlog_write(0, 0, "%s", text);
    return 0;
}
