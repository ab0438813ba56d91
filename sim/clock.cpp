#include "sim/clock.h"

#include <csignal>

namespace sim {

void Clock::at(Micros t, std::function<bool()> fn) { events_.emplace(t, std::move(fn)); }

std::optional<Micros> Clock::next_event() const {
    std::optional<Micros> next;
    if (!events_.empty()) next = events_.begin()->first;
    if (alarm_ && (!next || *alarm_ < *next)) next = alarm_;
    return next;
}

bool Clock::advance_to(Micros t) {
    for (;;) {
        const auto next = next_event();
        if (!next || *next > t) break;
        if (*next > now_) now_ = *next;
        if (alarm_ && *alarm_ == *next && (events_.empty() || events_.begin()->first >= *alarm_)) {
            alarm_.reset();
            // A real SIGALRM: the program's handler runs right here.
            std::raise(SIGALRM);
            return true;
        }
        auto event = events_.extract(events_.begin());
        if (event.mapped()()) return true;
    }
    if (t > now_) now_ = t;
    return false;
}

unsigned Clock::alarm(unsigned seconds) {
    unsigned left = 0;
    if (alarm_) left = static_cast<unsigned>((*alarm_ - now_ + one_second - 1) / one_second);
    if (seconds == 0)
        alarm_.reset();
    else
        alarm_ = now_ + static_cast<Micros>(seconds) * one_second;
    return left;
}

}  // namespace sim
