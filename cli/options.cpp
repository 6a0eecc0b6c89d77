#include "cli/options.hpp"

#include "common/console.hpp"

namespace xarveld {

namespace {
constexpr const char* USAGE_TEXT[] = {
    // The first string spans two lines; the parentheses tell clang that no comma is missing.
    ("Usage: XARVELD [-c COM#] [-l sramFile.bin] [-d device#] [-b baudRate] [-p] [-v] "
     "deviceFile.bin\n\n"),
    "Options:\n",
    "\t-c COM#\t\tCOM port number to use for serial connnection (1-9)\n",
    "\t-l sramFile\tLoad drivers into SRAM from filename\n",
    "\t-d device#\tFlash memory device number (1-7)\n",
    "\t-b baudRate\tBaud rate can be 19200, 57600 or 115200 (bps)\n",
    "\t-p        \tProgram the specified device\n",
    "\t-v        \tVerify the specified device\n",
};

bool is_single_digit(const std::string& value, char lowest, char highest) {
  return value.size() == 1 && value[0] >= lowest && value[0] <= highest;
}

// The device file's name must end like "x.bin" or "x.hex": any one of a '.' fourth from the end,
// 'h' third, 'e' second or 'x' last will do.
bool looks_like_image_name(const std::string& name) {
  std::size_t n = name.size();
  return (n >= 4 && name[n - 4] == '.') || (n >= 3 && name[n - 3] == 'h') ||
         (n >= 2 && name[n - 2] == 'e') || (n >= 1 && name[n - 1] == 'x');
}

ParseResult error(const char* message) {
  ParseResult result;
  result.outcome = ParseOutcome::Error;
  result.message = message;
  return result;
}
}  // namespace

ParseResult parse_options(const std::vector<std::string>& arguments) {
  ParseResult result;
  if (arguments.empty() ||
      (arguments.size() == 1 && arguments[0].size() >= 2 && arguments[0].compare(0, 2, "-?") == 0)) {
    result.outcome = ParseOutcome::Usage;
    return result;
  }

  Options& options = result.options;
  // The last argument is never an option. A value is read from the argument after its option but
  // not stepped over (only -l steps over it): it is skipped on the next turn for not beginning
  // with '-'. Only the letter after '-' counts.
  std::size_t last = arguments.size() - 1;
  for (std::size_t i = 0; i < last; ++i) {
    const std::string& argument = arguments[i];
    if (argument.empty() || argument[0] != '-') continue;
    const std::string& value = arguments[i + 1];
    char letter = argument.size() > 1 ? argument[1] : '\0';
    switch (letter) {
      case 'c':
        if (!is_single_digit(value, '1', '9')) {
          return error("COM port number must be between 1 and 9.\n");
        }
        options.port_name = "COM" + value;
        break;
      case 'd':
        if (!is_single_digit(value, '1', '7')) {
          return error("Device number must be between 1 and 7.\n");
        }
        options.device_number = value[0] - '0';
        break;
      case 'l':
        if (!value.empty() && value[0] == '-') return error("Filename expected after -l\n");
        options.driver_file = value;
        options.load_driver = true;
        ++i;
        break;
      case 'b':
        if (value == "19200") {
          options.baud_rate = 19200;
        } else if (value == "57600") {
          options.baud_rate = 57600;
        } else if (value == "115200") {
          options.baud_rate = 115200;
        } else {
          return error("Incorrect baud rate. Must be 19200, 57600 or 115200.");
        }
        break;
      case 'v':
        options.verify_mode = VERIFY_DATA;
        break;
      case 'x':
        options.verify_mode = VERIFY_CHECKSUM;
        break;
      case 'p':
        options.program = true;
        break;
      default:
        return error("Incorrect usage\n");
    }
  }

  if (!looks_like_image_name(arguments[last])) return error("Flash file name must be specified.\n");
  options.device_file = arguments[last];
  return result;
}

void print_usage() {
  for (const char* text : USAGE_TEXT) console_printf("%s", text);
}

}  // namespace xarveld
