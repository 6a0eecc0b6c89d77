#pragma once
// What an attempt came to, from the tool's exit status and its output, and whether the board
// deserves another attempt. Pure.
#include <cstdint>

#include "station/attempt/progress.hpp"

namespace xarveld::station {

enum class Result { Pass, Fail, Timeout, Aborted };

struct RunEnd {
  std::int64_t exit_status = -1;  // the tool's status, or 128 + the signal that ended it
  bool timed_out = false;    // the station ended it past --timeout
  bool interrupted = false;  // the station was interrupted while it ran
};

Result classify_run(const RunEnd& end);

// Only a failure before the device was touched is worth another attempt: the port could not be
// opened, the loader never answered, or the port vanished before the first block.
bool worth_retrying(Result result, const Progress& progress);

const char* result_name(Result result);

}  // namespace xarveld::station
