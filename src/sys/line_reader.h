// Reads a descriptor of sys::Kernel line by line, with the semantics of
// fgets: at most size - 1 bytes, up to and including a line feed.
#pragma once

#include <cstddef>

namespace sys {

class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) {}

    // Returns false at the end of the file or on a read error (errno set)
    // when no byte was stored.
    [[nodiscard]] bool getline(char* buffer, size_t size);

private:
    [[nodiscard]] bool fill();

    int fd_;
    char data_[4096];
    size_t begin_ = 0;
    size_t end_ = 0;
};

}  // namespace sys
