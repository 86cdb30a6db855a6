#ifndef TORPORD_LINE_READER_H
#define TORPORD_LINE_READER_H

// Hands out a file's lines as fgets into a 1024-byte buffer would: a piece
// ends after its newline or after 1023 characters, whichever comes first,
// and a NUL byte ends the text of its piece. Reads with read(2) into the
// caller's buffer, so a file that fits costs one read and the end-of-file
// read; no allocation.

#include <stddef.h>

#include <span>
#include <string_view>

class LineReader {
public:
    static constexpr size_t kPieceMax = 1023;

    // buffer must hold at least kPieceMax bytes.
    LineReader(int fd, std::span<char> buffer) : fd_(fd), buffer_(buffer) {}

    // The next piece, or false at the end of the file or on a read error.
    bool next(std::string_view &piece);

private:
    int fd_;
    std::span<char> buffer_;
    size_t start_ = 0;
    size_t end_ = 0;
    bool eof_ = false;
};

#endif
