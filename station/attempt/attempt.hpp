#pragma once
// One attempt: its own directory under runs/SLOT/, the port bound there, the tool started in it
// with its standard output and standard error saved byte for byte, and, once the tool has ended,
// its record.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "station/attempt/images.hpp"
#include "station/attempt/outcome.hpp"
#include "station/os/port.hpp"
#include "station/attempt/progress.hpp"
#include "station/attempt/record.hpp"
#include "station/ledger/write_queue.hpp"
#include "station/station_options.hpp"
#include "station/attempt/tool_arguments.hpp"

namespace xarveld::station {

// What every run of a station shares.
struct RunPlan {
  std::string tool;
  std::vector<std::string> tool_arguments;  // as given to the station
  ToolArgumentPlan plan;
  std::vector<StationImage> images;  // the driver first when there is one, then the image
  std::string image_copy;
  std::string driver_copy;
  std::string runs_directory = "runs";
  std::string record_path = "station-record.jsonl";
  std::string host;
  std::string version;
  LedgerPlan ledger;
};

using SteadyClock = std::chrono::steady_clock;

struct Attempt {
  int child = -1;
  std::string directory;  // runs/SLOT/YYYYMMDDTHHMMSSZ-N
  std::vector<std::string> command;  // the tool's arguments in this run
  std::FILE* output = nullptr;       // the tool's standard output, saved as it comes
  std::FILE* errors = nullptr;       // its standard error, where that is a terminal
  std::string error_tail;            // the end of its standard error, for the reason
  Progress progress;
  std::int64_t start_unix_ms = 0;
  SteadyClock::time_point started;
  SteadyClock::time_point phase_started;
  Phase counted_phase = Phase::Connecting;
  bool output_open = true;
  bool errors_open = true;
  bool ended = false;
  std::int64_t exit_status = -1;
  std::string failure;  // why the station itself could not start it
  AttemptStamp stamp;
  std::string image_sha256_burnt;  // with a number: the numbered image's
};

// Makes the attempt's directory, binds the port, writes the image with the stamp's number when
// it has one, and starts the tool. Returns 1, or 0 with the reason in attempt.failure (the
// attempt then ends at once, as a failure).
int attempt_start(const RunPlan& run, const Slot& slot, const AttemptStamp& stamp, Attempt& attempt);

// Takes what the tool wrote since the last call; returns true once it has ended and all its
// output is in.
bool attempt_poll(Attempt& attempt);

// Closes the output, hashes log.txt, and builds the attempt's record, with the reason for a
// failure taken from the tool's standard error.
AttemptRecord attempt_finish(const RunPlan& run, const Slot& slot, const PortIdentity& identity,
                             int board, int attempt_number, Result result, Attempt& attempt);

}  // namespace xarveld::station
