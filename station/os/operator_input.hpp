#pragma once
// Enter at the station's terminal: in --loop, it starts every slot that has finished (a fixture
// whose boards are swapped while its adapters stay). One source file per platform.
#include "station/os/wake.hpp"

namespace xarveld::station {

// Starts listening to standard input. Where it is a terminal its echo is turned off, so that an
// Enter does not move the rows the station draws; operator_input_stop turns it back on.
void operator_input_start();
void operator_input_stop();

// Ready when input has come, for wait_for_activity; NO_WAKE_HANDLE once input has ended.
WakeHandle operator_input_wake();

// Reads what has come without waiting, and returns how many lines (Enter presses) it held.
int operator_input_take_lines();

}  // namespace xarveld::station
