#include "line_reader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

bool LineReader::next(std::string_view &piece)
{
    for (;;) {
        char *begin = buffer_.data() + start_;
        size_t avail = end_ - start_;
        size_t len = 0;
        if (const void *nl = std::memchr(begin, '\n', std::min(avail, kPieceMax)))
            len = static_cast<const char *>(nl) - begin + 1;
        else if (avail >= kPieceMax)
            len = kPieceMax;
        else if (eof_ && avail > 0)
            len = avail;
        else if (eof_)
            return false;
        if (len > 0) {
            start_ += len;
            const void *nul = std::memchr(begin, '\0', len);
            piece = std::string_view(begin, nul ? static_cast<const char *>(nul) - begin : len);
            return true;
        }
        if (start_ > 0) {
            std::memmove(buffer_.data(), begin, avail);
            start_ = 0;
            end_ = avail;
        }
        ssize_t got = 0;
        while ((got = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_)) < 0 &&
               errno == EINTR) {
        }
        if (got <= 0)
            eof_ = true;
        else
            end_ += static_cast<size_t>(got);
    }
}
