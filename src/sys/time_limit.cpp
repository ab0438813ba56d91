#include "sys/time_limit.h"

#include <csignal>

#include "sys/kernel.h"

namespace sys {

namespace {

// What the signal handler needs. A handler cannot be handed a context,
// so this is the one place it can be found; TimeLimits do not nest.
struct sigaction previous_action {};
unsigned grace = 0;
volatile sig_atomic_t time_out = 0;

void on_time_out(int) {
    time_out = 1;
    // From here on the device's own handler guards the rest of the wait.
    // sigaction cannot fail for SIGALRM with records of our own.
    (void)kernel().sigaction(SIGALRM, &previous_action, nullptr);
    kernel().alarm(grace);
}

}  // namespace

TimeLimit::TimeLimit(unsigned seconds, unsigned grace_seconds) {
    auto& k = kernel();
    grace = grace_seconds;
    time_out = 0;
    started_ = k.time(nullptr);
    struct sigaction action {};
    action.sa_handler = on_time_out;
    sigfillset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the blocked request must fail
    (void)k.sigaction(SIGALRM, &action, &previous_action);  // as in on_time_out
    caller_left_ = k.alarm(seconds);
}

TimeLimit::~TimeLimit() {
    auto& k = kernel();
    k.alarm(0);
    (void)k.sigaction(SIGALRM, &previous_action, nullptr);
    if (caller_left_ == 0) return;
    const time_t spent = k.time(nullptr) - started_;
    const time_t left = static_cast<time_t>(caller_left_) - spent;
    k.alarm(left > 0 ? static_cast<unsigned>(left) : 1);
}

bool TimeLimit::expired() const { return time_out != 0; }

}  // namespace sys
