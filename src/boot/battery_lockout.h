// The critical battery lock-out: an empty battery holds the boot in a
// small console menu until the gauge reports charge or the user skips.
#pragma once

#include "battery/gasgauge.h"

namespace qm {

// The boot-time check; returns when the boot may go on. Development
// boards skip it; a gauge that cannot be read never holds the boot.
void critical_battery_check();

// The lock-out menu for an open gauge and the last charge read; returns
// when the gauge reports charge (or fails) or the user skips.
void critical_battery_menu(gasgauge* gauge, int charge);

// "Charge: N% " and a bar of the percentage, or "Charge: Unknown" for a
// value outside 0 to 100; on the standard output.
void print_charge_percent(int charge);

// The charge line for the gauge's current reading; nothing when the gauge
// cannot be opened.
void dump_gasgauge();

}  // namespace qm
