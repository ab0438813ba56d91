// The serial console of the simulated device. Output goes to the host's
// standard output and error (or to a string, for tests). Input comes from
// a script (lines typed at virtual times), from a pipe (one line at a time,
// as the program reads), or from the host terminal in real time. When the
// input runs out the line stays silent, as a serial line with nobody
// typing: it never reports an end of input.
#pragma once

#include <sys/types.h>
#include <functional>
#include <string>
#include <string_view>

#include "sim/clock.h"

namespace sim {

class Console {
public:
    enum class Input { silent, pipe, terminal };

    explicit Console(Input input) : input_(input) {}

    void type_line(const std::string& text);  // a line typed now, with its line end
    bool has_input();
    ssize_t read(void* buf, size_t count);
    ssize_t write(int stream, const void* buf, size_t count);

    // Only the terminal delivers input in real time: wait up to timeout for
    // it and report whether it came.
    bool live() const { return input_ == Input::terminal; }
    bool wait_live_input(Micros timeout);

    // Sends the output to sink instead of the host's streams.
    void capture_to(std::string* sink) { sink_ = sink; }
    // Shows what passes the line to tap as well: the bytes the program
    // read (stream 0) and those written to each stream (1, 2). nullptr
    // stops it.
    using Tap = std::function<void(int stream, std::string_view bytes)>;
    void tap(Tap tap) { tap_ = std::move(tap); }

    // The line has sent everything written so far (TCSBRK).
    void drain() { undrained_ = false; }
    // Whether output was written since the last drain.
    bool undrained() const { return undrained_; }

    // An end of file, as ^D typed at the start of a line gives: the next
    // read returns 0 bytes, once.
    void end_of_file() { ++ends_of_file_; }
    // The line is gone for good, as /dev/null or a serial line that hung up:
    // from now on it is always ready, and every read returns 0 bytes (error
    // 0) or fails with error.
    void hang_up(int error) {
        hung_up_ = true;
        hangup_error_ = error;
    }

private:
    bool pull_piped_line();

    Input input_;
    std::string pending_;
    bool host_input_ended_ = false;
    std::string* sink_ = nullptr;
    Tap tap_;
    bool undrained_ = false;
    int ends_of_file_ = 0;
    bool hung_up_ = false;
    int hangup_error_ = 0;
};

}  // namespace sim
