#pragma once
// The station's own standard output: a terminal gets rows redrawn in place, anything else plain
// lines. What the station writes waits in a queue of its own and goes out as fast as the output
// takes it, so an output that stops taking it (a pipe nobody reads, a terminal stopped with
// Ctrl-S) never stops the station from serving its slots, its time-outs and its interrupts. One
// source file per platform.
#include <string>

#include "station/os/wake.hpp"

namespace xarveld::station {

// POSIX: whether standard output is a terminal. Windows: a console, which is then set to take
// the escape sequences the rows are drawn with.
bool terminal_prepare();

// The terminal's width in columns (80 when it cannot be told).
int terminal_columns();

// Queues text, whole, and writes what the output takes now without waiting for it. The queue
// holds 1 MiB: past that the oldest texts not yet begun give way, never the newest, so that a
// reader who comes back finds the latest lines and the summary at the end.
void terminal_write(const std::string& text);

// Writes what is queued, waiting at most wait_ms for the output to take it; what a closed output
// cannot take is dropped. Returns true when nothing is left queued.
bool terminal_flush(int wait_ms);

// While output is queued: ready when the output can take more, for wait_for_activity's
// writable. NO_WAKE_HANDLE when nothing is queued.
WakeHandle terminal_wake();

}  // namespace xarveld::station
