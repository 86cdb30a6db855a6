#ifndef TORPOR_TESTS_SANDBOX_H
#define TORPOR_TESTS_SANDBOX_H

// Runs test bodies against the real fixed paths (/tmp, /proc/diskstats,
// /dev/..., /var/lock/ostrel, /etc/mtab, /mnt, ...) inside a private mount
// namespace, so that nothing a test mounts or writes reaches the machine.
//
// sandbox::run forks; the child enters a fresh mount namespace whose mounts
// are private, puts a tmpfs on /tmp and runs the body. gtest assertions in
// the body fail the test in the parent; GTEST_SKIP in the body skips it.
// The setup calls below are for use inside the body only. Each of them ends
// the child with a test failure when it cannot do its job, so that a test
// never goes on against the machine's real files or devices.

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>

namespace sandbox {

// Empty when private mount namespaces can be had here; otherwise why not.
const std::string &unavailable_reason();

// Runs body in a child inside a fresh private mount namespace. Skips the
// test (with the reason) where no namespace can be had.
void run(const std::function<void()> &body);

// Skips the test from inside a body: records why and ends the body's process.
[[noreturn]] void skip(const std::string &why);

// Scratch directory of this sandbox (on its private /tmp).
std::string scratch(std::string_view name);

// A fresh tmpfs on dir (symbolic links resolved). options as for mount -o.
void tmpfs(const std::string &dir, const std::string &options = "");

// Makes dir writable without changing the machine: an overlay whose upper
// layer lives in the sandbox, so dir's own files stay visible.
void writable(const std::string &dir);

// Binds src onto dst; dst must exist already (it is never created here).
void bind_mount(const std::string &src, const std::string &dst);

// Writes content into a scratch file and binds it onto dst.
void bind_text(std::string_view content, const std::string &dst);

// A tmpfs on /dev holding only null, zero, full, random, urandom, tty, fuse
// and the fd links, so that no real disk is reachable through /dev.
void private_dev();

// Makes dir (a mount of this sandbox or a bind of it) read-only here only:
// a bind of dir onto itself, remounted read-only.
void read_only(const std::string &dir);

// /etc/mtab as the given text, absent (null), or, by mtab_kernel, the link
// to the kernel's own list that full installations have. /etc becomes an
// overlay of the sandbox on first use, so whether the machine has the file
// or not makes no difference.
void mtab(const char *text);
void mtab_kernel();

// Runs body as the first process of a fresh pid namespace, with its own
// /proc, inside the sandbox. Processes that body starts and leaves behind
// (detached daemons included) become its children and are killed when it
// returns. Failures and skips in body count for the test.
void own_pids(const std::function<void()> &body);

// Writes a file; refuses (failing the test) unless the file lies on a tmpfs
// or overlay of this sandbox.
void write_file(const std::string &path, std::string_view content, mode_t mode = 0644);

// The whole content of a file; empty when it cannot be read.
std::string read_file(const std::string &path);

// Whether path exists (lstat).
bool exists(const std::string &path);

} // namespace sandbox

#endif
