#ifndef TORPOR_TESTS_LOGS_H
#define TORPOR_TESTS_LOGS_H

// The error and trace log as tests see them, inside a sandbox.

#include <sys/types.h>

#include <string>

namespace logs {

inline const std::string kDir = "/var/lock/ostrel";
inline const std::string kRecord = kDir + "/error.log";
inline const std::string kTrace = kDir + "/trace.log";
inline const std::string kBackup = kDir + "/trace.log.bak";
inline const std::string kMarker = kDir + "/.trace.mode";

// A fresh, empty /var/lock/ostrel on a tmpfs of its own (options as for
// mount -o), with the trace marker when tracing is wanted.
void fresh(bool tracing, const std::string &options = "");

// The content of the error log and of the trace log.
std::string record();
std::string trace();

// Whether the kernel lists a blocked lock request of pid (/proc/locks),
// polled for up to ten seconds.
bool waiting_for_lock(pid_t pid);

} // namespace logs

#endif
