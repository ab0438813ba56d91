// The one routine through which every wait for the user goes.
#pragma once

namespace qm {

// Waits up to seconds (negative: without limit) for a line on the console
// or a keypad press, animating a spinner (and a countdown) on the standard
// error stream. 1 with the character in *key (key may be null), or with
// *key = 0 when usb_state is given and the USB storage online state reached
// usb_target; 0 on time-out, end of input or error. Keypad events without
// a key (releases, repeats, sync records, from one device or several at
// once) and console lines of NUL bytes are no key: the wait goes on, and
// still ends at its time-out. A console at its end or failing is reported
// and left out for the rest of the wait, and a failed select is reported
// and the rest of the time slept: the call takes its time in every case,
// so that a caller that asks again does not spin. With no console and no
// keypad left to watch, even a wait without a limit (seconds < 0) ends.
[[nodiscard]] int read_key(char* key, int seconds, int* usb_state, int usb_target, int countdown);

// read_key without a USB state whose console shows the spinner's first
// character only, as a wait without a limit does: the erase check, which
// once waited so, keeps its prompt as it was while its wait has a limit.
[[nodiscard]] int read_key_still(char* key, int seconds);

// Whether the console has something to read (bytes, its end or an error)
// within seconds; 0 looks without waiting.
[[nodiscard]] bool console_ready(int seconds);

// "Please wait ... " and a spinner for the given number of seconds.
void wait_a_sec(int seconds);

}  // namespace qm
