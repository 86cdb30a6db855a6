#include "private_ns.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace private_ns {
namespace {

bool write_text(const char *path, const std::string &text)
{
    int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

bool unshare_mounts()
{
    if (::geteuid() == 0)
        return ::unshare(CLONE_NEWNS) == 0;
    uid_t uid = ::geteuid();
    gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
        return false;
    write_text("/proc/self/setgroups", "deny");
    return write_text("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
           write_text("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}

// Binds old_tmp/rel onto the same place under the new /tmp.
bool bind_back(int old_tmp, const std::string &rel)
{
    std::string path = "/tmp";
    for (size_t at = 0; at != std::string::npos;) {
        size_t slash = rel.find('/', at);
        path += "/" + rel.substr(at, slash == std::string::npos ? slash : slash - at);
        if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
        at = slash == std::string::npos ? slash : slash + 1;
    }
    std::string from = "/proc/self/fd/" + std::to_string(old_tmp) + "/" + rel;
    return ::mount(from.c_str(), path.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
}

} // namespace

bool enter(std::initializer_list<std::string_view> keep)
{
    if (!unshare_mounts() || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    int old_tmp = ::open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (old_tmp < 0 || ::mount("sandbox", "/tmp", "tmpfs", 0, "mode=1777") != 0)
        return false;
    bool ok = true;
    for (std::string_view tree : keep)
        if (tree.starts_with("/tmp/"))
            ok = ok && bind_back(old_tmp, std::string(tree.substr(5)));
    ::close(old_tmp);
    return ok;
}

} // namespace private_ns
