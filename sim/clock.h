// Virtual time of the simulated device. Sleeps, select time-outs and
// alarms move it forward instead of waiting; scheduled events (script
// lines, the alarm) run in time order as it passes them.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>

namespace sim {

using Micros = int64_t;
constexpr Micros one_second = 1000000;

class Clock {
public:
    Micros now() const { return now_; }

    // Runs fn when the clock reaches t (at once if t has passed, at the next
    // advance). Events of equal time run in the order they were scheduled.
    // fn returns true when it raised a signal whose handler returned.
    void at(Micros t, std::function<bool()> fn);

    // Moves to t, running every due event at its own time. Returns true when
    // an event raised a signal whose handler returned: the caller's wait was
    // interrupted at now(), which may be before t.
    bool advance_to(Micros t);

    // Process alarm: 0 cancels. Returns the whole seconds that were left on
    // the previous alarm (rounded up, as Linux does).
    unsigned alarm(unsigned seconds);
    std::optional<Micros> alarm_deadline() const { return alarm_; }

    // Time of the next scheduled event or alarm, if any.
    std::optional<Micros> next_event() const;

private:
    Micros now_ = 0;
    std::optional<Micros> alarm_;
    std::multimap<Micros, std::function<bool()>> events_;
};

}  // namespace sim
