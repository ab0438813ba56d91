// Helpers for scenario tests of what a person at the device or the console
// sees: a device booted with a script, and the console drawings of the
// key reader.
#pragma once

#include <string>
#include <vector>

#include "support/simrun.h"
#include "support/testdir.h"

namespace test {

// Makes a device in a fresh directory (with the extra init arguments),
// boots it once with script as its script and returns the run.
SimResult boot_with_script(const TempDir& dir, const std::string& script,
                           const std::vector<std::string>& init_extra = {});

// "Charge: N% " and its bar, for the charges the tests use (0 and 80).
std::string charge_line(int percent);

// The output with the spinner drawings after each "Choose: " taken out, for
// transcripts whose waits depend on when the program got there.
std::string without_spinners(const std::string& output);

// What the key reader draws on a wait of seconds that ends by its time-out
// (without countdown: the spinner; with: count and spinner).
std::string spinner_wait(int seconds);
std::string countdown_wait(int seconds);

}  // namespace test
