#include "station/attempt/outcome.hpp"

namespace xarveld::station {

Result classify_run(const RunEnd& end) {
  if (end.timed_out) return Result::Timeout;
  if (end.exit_status == 0) return Result::Pass;
  if (end.interrupted) return Result::Aborted;
  return Result::Fail;
}

bool worth_retrying(Result result, const Progress& progress) {
  if (result != Result::Fail) return false;
  return progress.port_not_opened || progress.connection_timed_out ||
         (progress.read_error && !progress.block_sent);
}

const char* result_name(Result result) {
  switch (result) {
    case Result::Pass: return "PASS";
    case Result::Fail: return "FAIL";
    case Result::Timeout: return "TIMEOUT";
    case Result::Aborted: return "ABORTED";
  }
  return "";
}

}  // namespace xarveld::station
