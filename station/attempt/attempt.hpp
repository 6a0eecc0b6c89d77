#pragma once
// One attempt: its own directory under runs/SLOT/, the port bound there, with --backup the read
// of what the burn will overwrite into before.bin, the tool started in it with its standard
// output and standard error saved byte for byte, and, once the tool has ended, its record. This
// header is the room's door: what the station needs of one run of the tool and what it leaves.
// An attempt is handed its number and where to put it; it never asks the ledger.
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
  std::string read_tool;  // --backup: what reads the device first; empty: no backup
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
  std::string output_tail;           // the end of the tool's standard output, for its code
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
  // The read program runs in child's place before the tool; an attempt that ends while this
  // still holds never started the tool, and nothing was written to the board.
  bool backing_up = false;
  std::string backup_sha256;  // of before.bin, once it is kept
};

// The file a backup is kept in, in the attempt's directory.
constexpr const char* BACKUP_FILE = "before.bin";
// The last line of an attempt that ended at its backup, in the tool's place.
constexpr const char* BACKUP_NOT_TAKEN = "Nothing was burnt: the attempt ended at its backup.";

// Reads what the slot's port is now, makes the attempt's directory, binds the port, writes the
// image with the stamp's number when it has one, and starts the tool. False with the reason in
// attempt.failure: the attempt has then ended at once, as a failure.
[[nodiscard]] bool attempt_start(const RunPlan& run, const Slot& slot, const AttemptStamp& stamp,
                                 Attempt& attempt);

// Takes what the running program wrote since the last call; returns true once the attempt is
// over: the tool has ended and all its output is in, or the backup has failed. A backup that
// ends well is kept read-only and the tool started in its place, unless may_burn is false (the
// station is interrupted, or the attempt's time is up): the attempt then ends there.
bool attempt_poll(const RunPlan& run, bool may_burn, Attempt& attempt);

// What the attempt came to: the run as classify_run judges it, a failure when the station could
// not start it, and never a pass when it ended at its backup.
Result attempt_result(const Attempt& attempt, const RunEnd& end);

// Whether the attempt ended before anything was written to the board: at its backup, or the
// tool failed before touching the device. Such a board may be tried again.
bool attempt_never_wrote(const Attempt& attempt, Result result);

// Closes the output, hashes log.txt, and builds the attempt's record, with the reason for a
// failure taken from the tool's standard error.
AttemptRecord attempt_finish(const RunPlan& run, const Slot& slot, int board, int attempt_number,
                             Result result, Attempt& attempt);

}  // namespace xarveld::station
