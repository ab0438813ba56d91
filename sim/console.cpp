#include "sim/console.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace sim {

void Console::type_line(const std::string& text) { pending_ += text + "\n"; }

bool Console::pull_piped_line() {
    if (host_input_ended_) return false;
    char c = 0;
    bool got = false;
    for (;;) {
        const ssize_t n = ::read(0, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            host_input_ended_ = true;
            break;
        }
        pending_ += c;
        got = true;
        if (c == '\n') break;
    }
    return got;
}

bool Console::has_input() {
    if (!pending_.empty() || ends_of_file_ > 0 || hung_up_) return true;
    switch (input_) {
        case Input::pipe: return pull_piped_line();
        case Input::terminal: return wait_live_input(0);
        case Input::silent: break;
    }
    return false;
}

bool Console::wait_live_input(Micros timeout) {
    if (!pending_.empty()) return true;
    if (input_ != Input::terminal || host_input_ended_) return false;
    pollfd in {0, POLLIN, 0};
    const int ready = ::poll(&in, 1, static_cast<int>(std::max<Micros>(0, timeout / 1000)));
    if (ready <= 0) return false;
    char buffer[256];
    const ssize_t n = ::read(0, buffer, sizeof buffer);
    if (n <= 0) {
        host_input_ended_ = true;
        return false;
    }
    pending_.append(buffer, static_cast<size_t>(n));
    return true;
}

ssize_t Console::read(void* buf, size_t count) {
    // A serial line in canonical mode delivers at most one line per read.
    if (!has_input()) {
        errno = EAGAIN;
        return -1;
    }
    if (pending_.empty() && ends_of_file_ > 0) {
        --ends_of_file_;
        return 0;
    }
    if (pending_.empty() && hung_up_) {
        if (hangup_error_ == 0) return 0;
        errno = hangup_error_;
        return -1;
    }
    const size_t line_end = pending_.find('\n');
    const size_t line = line_end == std::string::npos ? pending_.size() : line_end + 1;
    const size_t n = std::min(count, line);
    pending_.copy(static_cast<char*>(buf), n);
    pending_.erase(0, n);
    if (tap_) tap_(0, std::string_view(static_cast<const char*>(buf), n));
    return static_cast<ssize_t>(n);
}

ssize_t Console::write(int stream, const void* buf, size_t count) {
    if (count > 0) undrained_ = true;
    if (tap_) tap_(stream, std::string_view(static_cast<const char*>(buf), count));
    if (sink_ != nullptr) {
        sink_->append(static_cast<const char*>(buf), count);
        return static_cast<ssize_t>(count);
    }
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(stream, static_cast<const char*>(buf) + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return done > 0 ? static_cast<ssize_t>(done) : n;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

}  // namespace sim
