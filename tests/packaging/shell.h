#ifndef TORPOR_TESTS_PACKAGING_SHELL_H
#define TORPOR_TESTS_PACKAGING_SHELL_H

// Runs shell command lines for the packaging tests, which drive the real
// tools (cmake, cc, pkg-config, the init script) the way their users do.

#include <string>

namespace shell {

struct Result {
    int status = -1;    // exit status; 128 + signal number when a signal ended it
    std::string output; // standard output and standard error, interleaved
};

Result run(const std::string &command);

// command with its output written into the test's log; for the steps that
// prepare a test, whose output matters only when they fail.
Result logged(const std::string &command);

// word in single quotes, safe as one shell word.
std::string quote(const std::string &word);

} // namespace shell

#endif
