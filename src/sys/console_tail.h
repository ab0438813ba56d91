// The console lines written while a capture runs: an update keeps those of
// its attempt for the log it leaves on the user store. The lines are kept
// as a terminal shows them (sys/terminal_line.h: a progress count that
// writes over itself is one line), without the control bytes a text file
// should not hold, and only the last of them up to a bound, so that a long
// or chatty attempt costs bounded memory. Captures nest: the innermost one
// takes the lines while it runs.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "sys/terminal_line.h"

namespace qm {

class console_tail {
public:
    // Starts capturing; at most most_bytes bytes of lines are kept.
    explicit console_tail(size_t most_bytes);
    // Stops, handing the console back to the capture it interrupted.
    ~console_tail();
    console_tail(const console_tail&) = delete;
    console_tail& operator=(const console_tail&) = delete;

    // The lines kept, each ended by a line feed (the last one as it stands),
    // at most most_bytes bytes of them, and how many earlier lines were
    // left out.
    [[nodiscard]] std::string lines() const;
    [[nodiscard]] size_t left_out() const;

    // Bytes the program wrote to its standard output or error.
    void take(std::string_view bytes);

private:
    size_t most_;
    std::string done_;     // lines ended so far
    size_t left_out_ = 0;  // lines
    terminal_line line_;
    console_tail* outer_;
};

// The console printers hand what they wrote to the innermost capture.
void console_tail_take(std::string_view bytes);

// Keeps the last lines of text that fit in most bytes (the end of a longer
// line when not even one whole line fits); returns the number of whole
// lines left out.
size_t keep_last_lines(std::string& text, size_t most);

}  // namespace qm
