#ifndef TORPOR_OWNED_H
#define TORPOR_OWNED_H

// Owners for the resources that product code opens and must close on every
// path: a descriptor, a stdio stream, a directory stream and a malloc'd block.
// One type each; copying is deleted, moving hands over ownership.

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>

namespace owned {

class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    ~unique_fd() { reset(); }

    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    unique_fd(unique_fd &&other) noexcept : fd_(other.release()) {}
    unique_fd &operator=(unique_fd &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }

    // Gives the descriptor up without closing it.
    [[nodiscard]] int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

    // Closes the descriptor held (if any) and takes fd; returns close's result.
    int reset(int fd = -1)
    {
        int rc = 0;
        if (fd_ >= 0)
            rc = ::close(fd_);
        fd_ = fd;
        return rc;
    }

private:
    int fd_ = -1;
};

struct file_closer {
    void operator()(FILE *f) const { ::fclose(f); }
};
using unique_file = std::unique_ptr<FILE, file_closer>;

struct dir_closer {
    void operator()(DIR *d) const { ::closedir(d); }
};
using unique_dir = std::unique_ptr<DIR, dir_closer>;

struct block_freer {
    void operator()(void *p) const { ::free(p); }
};
template <typename T>
using unique_block = std::unique_ptr<T, block_freer>;

} // namespace owned

#endif
