#pragma once
// xarveld-read's command line, turned into settings by a pure function.
#include <cstdint>
#include <string>
#include <vector>

namespace xarveld {

struct ReadOptions {
  std::string port_name = "COM1";
  std::uint32_t baud_rate = 115200;
  bool load_driver = false;
  std::string driver_file;
  int device = 5;
  std::uint32_t start = 0;
  std::uint32_t length = 0;  // read: from --length; compare: the file's size, known later
  bool force = false;
  std::string out;           // read: the file to write
  std::string compare_file;  // compare: the file the device should hold
  bool exact = false;
};

enum class ReadParseOutcome { Run, Help, Error };

struct ReadParse {
  ReadParseOutcome outcome = ReadParseOutcome::Run;
  ReadOptions options;
  std::string message;  // for Error: one line without its line feed
};

// arguments: the command line without the program name.
ReadParse parse_read_options(const std::vector<std::string>& arguments);

// "0x1F", "4096", "64K", "2M": decimal or hex, K and M multiplying by 1024 and 1024*1024.
bool parse_size(const std::string& text, std::uint32_t& value);

extern const char* const READ_USAGE;

}  // namespace xarveld
