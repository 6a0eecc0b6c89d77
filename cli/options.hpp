#pragma once
// The command line: parsed by a pure function into Options or an outcome with its message.
#include <cstdint>
#include <string>
#include <vector>

namespace xarveld {

constexpr int VERIFY_NONE = 0;
constexpr int VERIFY_DATA = 1;
constexpr int VERIFY_CHECKSUM = 2;

struct Options {
  std::string port_name = "COM1";
  std::uint32_t baud_rate = 115200;
  bool load_driver = false;
  std::string driver_file;
  int device_number = 5;
  bool program = false;
  int verify_mode = VERIFY_NONE;
  std::string device_file;
};

enum class ParseOutcome { Run, Usage, Error };

struct ParseResult {
  ParseOutcome outcome = ParseOutcome::Run;
  Options options;        // when outcome is Run
  const char* message = "";  // when outcome is Error, printed as it stands
};

// Exit statuses of a command line that does not lead to a run. A rejected command line ends with
// 1, so that a calling script can tell it from a successful run.
constexpr int EXIT_USAGE = -1;
constexpr int EXIT_ARGUMENT_ERROR = 1;

// arguments: the command line without the program name.
ParseResult parse_options(const std::vector<std::string>& arguments);

// The usage text, as eight strings, to standard output.
void print_usage();

}  // namespace xarveld
