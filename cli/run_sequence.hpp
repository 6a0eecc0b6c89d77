#pragma once
#include "cli/options.hpp"

namespace xarveld {

// Exit status of a run whose driver load, programming or verification failed: 1, so that a
// production script never takes a board that failed for a good one.
constexpr int EXIT_OPERATION_FAILED = 1;

// The fixed order of one run: driver load, programming, verification, each only when asked for;
// then the disconnect, the closing of log.txt and the port, and "Connection closed.\n".
// A failed operation ends the run at once with its message and EXIT_OPERATION_FAILED, without the
// disconnect. Returns the process exit status.
int run_sequence(const Options& options);

}  // namespace xarveld
