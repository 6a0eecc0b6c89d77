#pragma once
// The station's command line, a pure function: slots, limits, and the tool's own arguments after
// "--", which the station does not read beyond what it must replace.
#include <cstdint>
#include <string>
#include <vector>

#include "station/attempt/attempt.hpp"
#include "station/ledger/ledger.hpp"

namespace xarveld::station {

struct StationOptions {
  std::vector<Slot> slots;
  std::vector<std::string> tool_arguments;
  int retries = 1;          // further attempts of a board whose run never touched the device
  int timeout_seconds = 0;  // 0: a run may take as long as it takes
  int jobs = 0;             // 0: every slot at once
  bool loop = false;
  std::string tool;  // empty: the xarveld beside the station
  bool backup = false;     // --backup: each board's range is read into before.bin first
  std::string read_tool;   // --read-tool; empty: the xarveld-read beside the tool
  std::string http;  // ADDRESS:PORT of the status page; empty: none
  std::vector<std::string> http_names;  // --http-name: further names its requests may give
  // Serial numbers: --serial-at, --serial-format and --serial-range come together.
  bool numbered = false;
  std::uint64_t serial_at = 0;
  SerialFormat serial_format;
  std::uint64_t serial_first = 0;
  std::uint64_t serial_last = 0;
  std::string pool;    // empty: the image's name as given, without its directories
  std::string ledger;  // empty: ledger_default_location(), when there are numbers
  // --new-ledger: make the ledger, where there is none; without slots, make it and exit.
  bool new_ledger = false;
  bool report = false;      // --report: the ledger's counts, no slots
  bool report_csv = false;  // --report --csv: which attempt had which number
  bool report_yield = false;   // --report --yield: first-pass and final yield of boards
  bool report_pareto = false;  // --report --pareto: failed attempts by reason
  YieldBy yield_by = YieldBy::Total;  // --by
  std::int64_t since_ms = 0;  // --since: how far back from now the report looks; 0: all
};

enum class StationParseOutcome { Run, Help, Version, Error };

struct StationParse {
  StationParseOutcome outcome = StationParseOutcome::Run;
  StationOptions options;
  std::string message;  // one line, when outcome is Error
};

// Exit statuses of the station.
constexpr int STATION_ALL_PASSED = 0;
constexpr int STATION_SOME_FAILED = 1;
constexpr int STATION_REFUSED = 2;
constexpr int STATION_INTERRUPTED = 130;

// arguments: the command line without the program name. Checks the form of every slot (its
// name, and that names are not given twice); the ports are checked against the system later.
StationParse parse_station_options(const std::vector<std::string>& arguments);

// A span of time as --since takes it: a count of minutes, hours or days ("30m", "8h", "7d"),
// in milliseconds. False for anything else.
[[nodiscard]] bool parse_since(const std::string& text, std::int64_t& ms);

// A slot's name becomes a directory, on any system the station's configuration moves to:
// letters, digits, '-', '_' and '.', not starting or ending with '.', at most 32 characters, not
// a name Windows keeps for a device (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, in any
// case, with any extension), and not "images", where the image copies live. False with why.
[[nodiscard]] bool slot_name_valid(const std::string& name, std::string& why);

// The name as Windows and macOS compare names: without regard to case.
std::string slot_name_folded(const std::string& name);

// The usage text --help prints, made from the table of options.
std::string station_usage();

}  // namespace xarveld::station
