#include "sys/console_tail.h"

#include <algorithm>

namespace qm {

namespace {

// The capture that takes the console's lines now, if any: the one piece of
// process state of the console printers.
console_tail* innermost = nullptr;

}  // namespace

console_tail::console_tail(size_t most_bytes) : most_(most_bytes), outer_(innermost) { innermost = this; }

console_tail::~console_tail() { innermost = outer_; }

void console_tail::take(std::string_view bytes) {
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n' || line_.text.size() >= most_) {
            done_ += line_.text + "\n";
            line_.clear();
            // Trimmed now and then, not at every line, so that keeping the
            // tail costs little per byte.
            if (done_.size() > 2 * most_) left_out_ += keep_last_lines(done_, most_);
            if (c == '\n') continue;
        }
        const bool text = byte >= 0x20 && byte != 0x7f;
        if (text || c == '\t' || c == '\r' || c == '\b') line_.put(c);
    }
}

std::string console_tail::lines() const {
    std::string text = done_;
    if (!line_.text.empty()) text += line_.text + "\n";
    (void)keep_last_lines(text, most_);  // counted by left_out()
    return text;
}

size_t console_tail::left_out() const {
    std::string text = done_;
    if (!line_.text.empty()) text += line_.text + "\n";
    return left_out_ + keep_last_lines(text, most_);
}

void console_tail_take(std::string_view bytes) {
    if (innermost != nullptr) innermost->take(bytes);
}

size_t keep_last_lines(std::string& text, size_t most) {
    if (text.size() <= most) return 0;
    size_t cut = text.size() - most;
    // Start at a line's start: after the line feed before it, when the
    // line that straddles the cut is not the only one.
    if (cut > 0 && text[cut - 1] != '\n') {
        const size_t next = text.find('\n', cut);
        if (next != std::string::npos && next + 1 < text.size()) cut = next + 1;
    }
    const auto lines = static_cast<size_t>(std::count(text.begin(), text.begin() + static_cast<long>(cut), '\n'));
    text.erase(0, cut);
    return lines;
}

}  // namespace qm
