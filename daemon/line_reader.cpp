#include "line_reader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

size_t LineReader::findNul(size_t from) const
{
    const void *nul = std::memchr(buffer_.data() + from, '\0', end_ - from);
    return nul ? static_cast<size_t>(static_cast<const char *>(nul) - buffer_.data()) : kNone;
}

bool LineReader::refill(std::string_view &piece)
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
            size_t text = len;
            start_ += len;
            if (nul_ < start_) {
                text = nul_ - (start_ - len);
                nul_ = findNul(start_);
            }
            piece = std::string_view(begin, text);
            return true;
        }
        if (start_ > 0) {
            std::memmove(buffer_.data(), begin, avail);
            if (nul_ != kNone)
                nul_ -= start_;
            start_ = 0;
            end_ = avail;
        }
        ssize_t got = 0;
        while ((got = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_)) < 0 &&
               errno == EINTR) {
        }
        if (got <= 0) {
            eof_ = true;
        } else {
            size_t from = end_;
            end_ += static_cast<size_t>(got);
            if (nul_ == kNone)
                nul_ = findNul(from);
        }
    }
}
