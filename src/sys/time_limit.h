// A time limit on one request that may block on a device, which ends the
// request rather than the run. While a TimeLimit lives, the alarm makes the
// blocked request fail with EINTR (the handler is installed without
// SA_RESTART). Should the request not give up (an uninterruptible wait),
// the handler that was in place before, the device's watchdog, runs once
// the grace time has passed as well: nothing waits for ever.
//
// When the limit ends, the caller's own alarm is armed again with the time
// it had left. Limits do not nest: the alarm is one per process.
#pragma once

#include <ctime>

namespace sys {

class TimeLimit {
public:
    explicit TimeLimit(unsigned seconds, unsigned grace_seconds = 15);
    ~TimeLimit();
    TimeLimit(const TimeLimit&) = delete;
    TimeLimit& operator=(const TimeLimit&) = delete;

    // True once the time ran out.
    [[nodiscard]] bool expired() const;

private:
    unsigned caller_left_;  // seconds the caller's alarm had left, 0 when none
    time_t started_;
};

}  // namespace sys
