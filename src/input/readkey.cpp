#include "input/readkey.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "input/keypad.h"
#include "storage/gadget.h"
#include "sys/console.h"
#include "sys/kernel.h"

namespace qm {

namespace {

constexpr char spinner[] = {'/', '-', '\\', '|'};

bool timed_out(const timeval& start, int seconds, const timeval& now) {
    const auto deadline = start.tv_sec + seconds;
    return now.tv_sec > deadline || (now.tv_sec == deadline && now.tv_usec > start.tv_usec);
}

// Only the first character of a line is the key: the rest of a line longer
// than the buffer is read and dropped so it cannot come back as keys. Only
// what has already arrived is dropped: a chunk cut short by ^D, or line
// noise without a line end, must not hold the wait for a line to come.
void discard_rest_of_line(const char* chunk, ssize_t length) {
    char rest[64];
    while (length == static_cast<ssize_t>(sizeof rest - 1) && chunk[length - 1] != '\n' && console_ready(0)) {
        length = sys::kernel().read(0, rest, sizeof rest - 1);
        chunk = rest;
    }
}

// Line noise and a serial break read as NUL bytes. They are no key: the
// key is the line's first other character, and a line of nothing else
// (before its line end) carries none. Key 0 would otherwise pass for "the
// USB state was reached" and withdraw a medium under a writing host.
const char* first_key(const char* line, ssize_t length) {
    const char* end = line + length;
    const char* first = std::find_if(line, end, [](char c) { return c != '\0'; });
    if (first == line) return first;
    const bool only_line_end = std::all_of(first, end, [](char c) { return c == '\n' || c == '\r' || c == '\0'; });
    return only_line_end ? nullptr : first;
}

// Sleeps out what is left of a wait of seconds begun at start (one second
// when it has no limit): a wait that cannot watch its inputs still takes
// its time, so that a caller that waits again is no busy loop.
void sleep_out(const timeval& start, int seconds) {
    auto& k = sys::kernel();
    if (seconds < 0) {
        (void)k.sleep(1);
        return;
    }
    timeval now {};
    (void)k.gettimeofday(&now);
    const long long left = (static_cast<long long>(start.tv_sec) + seconds - now.tv_sec) * 1000000LL +
                           (start.tv_usec - now.tv_usec);
    if (left <= 0) return;
    (void)k.sleep(static_cast<unsigned>(left / 1000000));
    (void)k.usleep(static_cast<useconds_t>(left % 1000000));
}

// How a wait shows itself on the console.
enum class drawing { turning, countdown, still };

int wait_for_key(char* key, int seconds, int* usb_state, int usb_target, drawing draw) {
    auto& k = sys::kernel();
    unsigned position = 0;
    timeval start {};
    // gettimeofday cannot fail on a record of our own (EFAULT is its only error).
    (void)k.gettimeofday(&start);
    if (draw == drawing::countdown) err("%3u ", static_cast<unsigned>(seconds));
    err("%c", spinner[0]);
    position = 1;
    // A console at its end or failing stays ready for ever (/dev/null, a
    // line that hung up): once it fails, the rest of the wait watches the
    // keypad only and still ends by its time-out.
    bool console_open = true;

    for (;;) {
        if (usb_state != nullptr) {
            *usb_state = is_usb_storage_online();
            if (*usb_state == usb_target) {
                if (key != nullptr) *key = 0;
                return 1;
            }
        }

        fd_set ready;
        FD_ZERO(&ready);
        int highest = -1;
        if (console_open) {
            FD_SET(0, &ready);
            highest = 0;
        }
        keypad_set(&ready, &highest);
        if (highest < 0 && seconds < 0) {
            // No console and no keypad: no key can come, and a select on
            // nothing without a limit would never return. A wait with a
            // limit selects on nothing for a second at a time, so that it
            // still watches the USB state.
            sleep_out(start, seconds);
            return 0;
        }
        timeval wait {1, 0};
        const int count = k.select(highest + 1, &ready, nullptr, nullptr, seconds < 0 ? nullptr : &wait);
        if (count < 0) {
            report_errno("select()", errno);
            sleep_out(start, seconds);
            return 0;
        }
        if (count > 0) {
            if (keypad_isset(&ready)) {
                const int c = keypad_getch();
                if (c > 0) {
                    if (key != nullptr) *key = static_cast<char>(c);
                    return 1;
                }
                if (c < 0) {
                    err("ERROR:keypad_getch() had an error\n");
                    return 0;
                }
                // Releases, repeats and sync records carry no key and do not
                // end the wait, also when several devices had them at once;
                // a console line that came with them is read below. A key
                // held down repeats for as long as it is held: the time-out
                // still counts.
                if (!FD_ISSET(0, &ready)) {
                    timeval now {};
                    (void)k.gettimeofday(&now);
                    if (seconds >= 0 && timed_out(start, seconds, now)) return 0;
                    continue;
                }
            }
            if (FD_ISSET(0, &ready)) {
                char line[64];
                errno = 0;
                const ssize_t n = k.read(0, line, sizeof line - 1);
                if (n <= 0) {
                    report_errno("stdin", errno);
                    console_open = false;
                    continue;
                }
                discard_rest_of_line(line, n);
                if (std::memchr(line, '\b', static_cast<size_t>(n)) != nullptr) {
                    err("I saw a backspace character, restarting menu.\n");
                    (void)k.gettimeofday(&start);
                    continue;
                }
                const char* first = first_key(line, n);
                if (first != nullptr) {
                    if (key != nullptr) *key = *first;
                    return 1;
                }
            } else {
                err("ERROR:Unhandled input event\n");
                err("ERROR:Keypad input problem, sleeping for 1 second\n");
                k.sleep(1);
            }
        }

        if (seconds < 0) continue;
        timeval now {};
        (void)k.gettimeofday(&now);
        if (timed_out(start, seconds, now)) return 0;
        if (draw == drawing::still) continue;
        if (draw == drawing::countdown)
            err("\b\b\b\b\b%3lu ", static_cast<unsigned long>(start.tv_sec + seconds - now.tv_sec));
        else
            err("\b");
        err("%c", spinner[position % 4]);
        ++position;
    }
}

}  // namespace

bool console_ready(int seconds) {
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(0, &ready);
    timeval wait {seconds, 0};
    return sys::kernel().select(1, &ready, nullptr, nullptr, &wait) > 0;
}

int read_key(char* key, int seconds, int* usb_state, int usb_target, int countdown) {
    return wait_for_key(key, seconds, usb_state, usb_target, countdown ? drawing::countdown : drawing::turning);
}

int read_key_still(char* key, int seconds) { return wait_for_key(key, seconds, nullptr, 0, drawing::still); }

void wait_a_sec(int seconds) {
    auto& k = sys::kernel();
    k.alarm(10);
    err("Please wait ... ");
    for (int i = 0; i < seconds * 10; ++i) {
        k.alarm(10);
        err("%c", spinner[i % 4]);
        k.usleep(100000);
        err("\b");
    }
    err(" \n");
    k.alarm(0);
}

}  // namespace qm
