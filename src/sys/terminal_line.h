// One line of a terminal: the bytes written to it land where its cursor
// stands, so that a carriage return or a backspace lets what follows write
// over the line, as a serial terminal shows a progress count or a
// countdown. Each byte carries a mark (the stream it came from, say).
#pragma once

#include <string>

namespace qm {

struct terminal_line {
    std::string text;
    std::string marks;  // one per byte of text
    size_t column = 0;

    // Takes one byte that is not a line feed.
    void put(char c, char mark = 0);
    // Empties the line for the next one.
    void clear();
};

}  // namespace qm
