#pragma once
// log.txt taken for one run alone. It is locked before it is emptied, so that a second run
// started in the same directory can neither empty nor overwrite the log of a run in progress.
// One source file per platform.
#include <cstdio>
#include <string>

namespace xarveld {

enum class LogFileOutcome { Opened, HeldByAnotherRun, Failed };

struct LogFile {
  std::FILE* stream = nullptr;  // binary, positioned at the start of the emptied file
  LogFileOutcome outcome = LogFileOutcome::Failed;
  std::string reason;  // the system's words when outcome is Failed
};

// Opens or creates the file, takes it for this process alone and empties it. The lock lasts
// until the stream is closed.
LogFile log_file_take(const char* name);

}  // namespace xarveld
