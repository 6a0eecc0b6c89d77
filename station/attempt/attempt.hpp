#pragma once
// One attempt: its own directory under runs/SLOT/, the port bound there, the tool started in it
// with its standard output and standard error saved byte for byte, and, once the tool has ended,
// its record. This header is the room's door: what the station needs of one run of the tool and
// what it leaves. An attempt is handed its number and where to put it; it never asks the ledger.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "station/attempt/images.hpp"
#include "station/attempt/outcome.hpp"
#include "station/attempt/plain_text.hpp"
#include "station/attempt/progress.hpp"
#include "station/attempt/record.hpp"
#include "station/attempt/serial_field.hpp"
#include "station/attempt/tool_arguments.hpp"
#include "station/os/port.hpp"

namespace xarveld::station {

// A place on the line where a board is burnt.
struct Slot {
  std::string name;  // a directory under runs/
  std::string port;  // as given: a device path on POSIX, COMn on Windows
};

// One attempt's id and, with numbers, the number it burns.
struct AttemptStamp {
  std::string id;
  bool has_serial = false;
  std::uint64_t serial = 0;
};

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
  SerialPlacement serial;  // where each board's number goes, when boards get numbers
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
  // What the port led to as this attempt began: with an adapter per board, the name a slot is
  // given leads to another device for every board.
  PortIdentity port;
};

// Reads what the slot's port is now, makes the attempt's directory, binds the port, writes the
// image with the stamp's number when it has one, and starts the tool. False with the reason in
// attempt.failure: the attempt has then ended at once, as a failure.
[[nodiscard]] bool attempt_start(const RunPlan& run, const Slot& slot, const AttemptStamp& stamp,
                                 Attempt& attempt);

// Takes what the tool wrote since the last call; returns true once it has ended and all its
// output is in.
bool attempt_poll(Attempt& attempt);

// Closes the output, hashes log.txt, and builds the attempt's record, with the reason for a
// failure taken from the tool's standard error.
AttemptRecord attempt_finish(const RunPlan& run, const Slot& slot, int board, int attempt_number,
                             Result result, Attempt& attempt);

}  // namespace xarveld::station
