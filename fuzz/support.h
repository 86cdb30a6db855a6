#ifndef TORPOR_FUZZ_SUPPORT_H
#define TORPOR_FUZZ_SUPPORT_H

// What the fuzz targets share: a private mount namespace for the fixed
// paths, exact-size heap copies of the input (so that ASan reports a byte
// read or written past the end), and parameters taken off the input's front.

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "private_ns.h"

namespace fuzz {

[[noreturn]] inline void fail(const char *what)
{
    std::fprintf(stderr, "fuzz: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

// A mount namespace of the fuzzer's own with fresh tmpfs mounts on /tmp and
// /var/lock, so that nothing the code under test writes reaches the machine.
// The source and build trees stay visible for the corpora.
inline void private_paths()
{
    if (!private_ns::enter({TORPOR_SOURCE_DIR, TORPOR_BUILD_DIR}))
        fail("no private mount namespace here (run as root)");
    char lock[PATH_MAX];
    if (::realpath("/var/lock", lock) == nullptr || ::mount("fuzz", lock, "tmpfs", 0, nullptr) != 0)
        fail("tmpfs on /var/lock");
}

// Replaces the content of path (in the private namespace) with bytes.
inline void write_file(const char *path, std::string_view bytes)
{
    int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        fail(path);
    ::close(fd);
}

// bytes up to their first NUL, NUL-terminated, in a block of exactly that size.
inline std::vector<char> text_of(std::string_view bytes)
{
    bytes = bytes.substr(0, std::min(bytes.find('\0'), bytes.size()));
    std::vector<char> text(bytes.size() + 1);
    std::copy(bytes.begin(), bytes.end(), text.begin());
    return text;
}

inline void check(bool holds, const char *what)
{
    if (!holds) {
        std::fprintf(stderr, "fuzz: broken: %s\n", what);
        std::abort();
    }
}

// The input: parameters are taken off its front, the rest is the text.
struct Input {
    std::string_view bytes;

    unsigned char byte()
    {
        if (bytes.empty())
            return 0;
        auto b = static_cast<unsigned char>(bytes.front());
        bytes.remove_prefix(1);
        return b;
    }
    // A string of up to max bytes, its length taken first.
    std::string_view string(size_t max)
    {
        std::string_view s = bytes.substr(0, std::min<size_t>(byte() % (max + 1), bytes.size()));
        bytes.remove_prefix(s.size());
        return s;
    }
};

} // namespace fuzz

#endif
