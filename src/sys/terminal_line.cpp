#include "sys/terminal_line.h"

namespace qm {

void terminal_line::put(char c, char mark) {
    if (c == '\r') {
        column = 0;
    } else if (c == '\b') {
        if (column > 0) --column;
    } else if (column < text.size()) {
        text[column] = c;
        marks[column] = mark;
        ++column;
    } else {
        text += c;
        marks += mark;
        ++column;
    }
}

void terminal_line::clear() {
    text.clear();
    marks.clear();
    column = 0;
}

}  // namespace qm
