#pragma once
// What reaches the port in the moments after it was opened was sent before this run asked
// anything: the tail of an answer to a run that was interrupted, still on its way through a UART
// or an adapter, a boot banner. In raw framing one stray byte would misalign every later answer.

namespace xarveld {

// The line counts as quiet once nothing has arrived for this long ...
constexpr unsigned STALE_QUIET_MS = 50;
// ... and discarding stops after this long in all, on a line that never falls quiet.
constexpr unsigned STALE_DISCARD_LIMIT_MS = 500;

// Reads and discards until the line has been quiet for STALE_QUIET_MS, or for
// STALE_DISCARD_LIMIT_MS in all. A failed read ends it: the run's first read reports it.
void discard_stale_input();

}  // namespace xarveld
