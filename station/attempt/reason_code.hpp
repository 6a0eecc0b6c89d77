#pragma once
// Why an attempt failed, as one code of a closed set, so that failures across a line can be
// counted by cause: from what the station itself knows of the run and what the tool said on its
// standard output, on its standard error and in its exit status. Pure.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "station/attempt/outcome.hpp"

namespace xarveld::station {

// Every code an attempt's failure can have; a run that passed has none.
constexpr std::array<const char*, 9> REASON_CODES = {
    "PORT_UNAVAILABLE",  // the port could not be opened: absent, busy, locked, no permission
    "PORT_VANISHED",     // the adapter was pulled or the line hung up
    "NO_ANSWER",         // the loader never answered, or stopped answering
    "REFUSED",           // the loader refused the operation
    "DATA_MISMATCH",     // verification found different contents
    "TIMEOUT",           // the station's --timeout ended the run
    "INTERRUPTED",       // the operator ended the run
    "BACKUP_FAILED",     // the --backup read before burning failed
    "TOOL_FAILED",       // anything else: a crash, a tool that could not start, words not known
};

// What one of the tool's messages (a printf format, one line of it) tells of a failure.
enum class Says {
  Cause,    // why it failed: its code holds unless an earlier line named another cause
  Outcome,  // what failed, not why: its code holds only when no line names a cause
  Nothing,  // progress, a banner, a notice the run goes past, or the words of a line that does
            // name it (a port's or a file's own reason, built elsewhere)
};

struct ToolMessage {
  const char* format;
  Says says;
  const char* code;  // nullptr when it says nothing
};

// Every message xarveld and xarveld-read print, on either stream: a line of its format each.
std::span<const ToolMessage> tool_messages();

// Whether a line holds what format prints, anywhere in it (progress marks may come before it):
// each conversion stands for any text.
bool line_holds_format(std::string_view line, std::string_view format);

struct RunFacts {
  Result result = Result::Fail;
  bool station_failed = false;  // the station could not start the tool
  bool backup_failed = false;   // the attempt ended at its --backup
  std::int64_t exit_status = -1;
  std::string_view output;  // the tool's standard output, its end
  std::string_view errors;  // its standard error, its end; empty when it was not a terminal
};

// The code of a failed attempt, empty for one that passed. The station's own knowledge first
// (its time-out, an interrupt, the backup, a tool it could not start); then the tool's status,
// which is 1 for every failure it explains; then the first cause named on standard output, then
// on standard error, then what failed; TOOL_FAILED when nothing it said is known.
std::string reason_code(const RunFacts& facts);

}  // namespace xarveld::station
