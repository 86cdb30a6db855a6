#ifndef TORPORD_LINE_READER_H
#define TORPORD_LINE_READER_H

// Hands out a file's lines as fgets into a 1024-byte buffer would: a piece
// ends after its newline or after 1023 characters, whichever comes first,
// and a NUL byte ends the text of its piece. Reads with read(2) into the
// caller's buffer, so a file that fits costs one read and the end-of-file
// read; no allocation.

#include <stddef.h>

#include <cstring>
#include <span>
#include <string_view>

class LineReader {
public:
    static constexpr size_t kPieceMax = 1023;

    // buffer must hold at least kPieceMax bytes.
    LineReader(int fd, std::span<char> buffer) : fd_(fd), buffer_(buffer) {}

    // The next piece, or false at the end of the file or on a read error.
    // Inline where a whole line without NUL bytes is in the buffer already,
    // as nearly every line is.
    bool next(std::string_view &piece)
    {
        const char *begin = buffer_.data() + start_;
        size_t avail = end_ - start_;
        const void *nl = std::memchr(begin, '\n', avail < kPieceMax ? avail : kPieceMax);
        if (nl == nullptr)
            return refill(piece);
        size_t len = static_cast<size_t>(static_cast<const char *>(nl) - begin) + 1;
        if (nul_ < start_ + len)
            return refill(piece);
        start_ += len;
        piece = std::string_view(begin, len);
        return true;
    }

private:
    // next for every other case: reads more, cuts long lines and NUL bytes.
    bool refill(std::string_view &piece);

    static constexpr size_t kNone = static_cast<size_t>(-1);

    // Index of the first NUL byte in [from, end_), or none.
    size_t findNul(size_t from) const;

    int fd_;
    std::span<char> buffer_;
    size_t start_ = 0;
    size_t end_ = 0;
    // The first NUL byte at or after start_, or none: searched for once per
    // read, not once per piece.
    size_t nul_ = kNone;
    bool eof_ = false;
};

#endif
