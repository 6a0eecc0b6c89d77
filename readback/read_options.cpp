#include "readback/read_options.hpp"

#include "ops/image.hpp"

namespace xarveld {

const char* const READ_USAGE =
    "Usage: xarveld-read [-c COM#] [-l sramFile.bin] [-d device#] [-b baudRate] [--start N]\n"
    "                    --length N [--force] OUT\n"
    "       xarveld-read [-c COM#] [-l sramFile.bin] [-d device#] [-b baudRate] [--start N]\n"
    "                    --compare FILE [--exact]\n"
    "N is decimal or 0x hex, with an optional K or M. OUT ending in .hex is Intel HEX.\n"
    "Status: 0 read or identical, 1 differs, 2 trouble.\n";

bool parse_size(const std::string& text, std::uint32_t& value) {
  std::string digits = text;
  std::uint64_t scale = 1;
  if (!digits.empty() && (digits.back() == 'K' || digits.back() == 'k')) scale = 1024;
  if (!digits.empty() && (digits.back() == 'M' || digits.back() == 'm')) scale = 1024 * 1024;
  if (scale != 1) digits.pop_back();
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits = digits.substr(2);
  }
  if (digits.empty() || digits.size() > 10) return false;
  std::uint64_t number = 0;
  for (char c : digits) {
    int digit = c >= '0' && c <= '9' ? c - '0'
                : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
                : base == 16 && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
    if (digit < 0) return false;
    number = number * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
  }
  number *= scale;
  if (number > IMAGE_CAPACITY) return false;
  value = static_cast<std::uint32_t>(number);
  return true;
}

namespace {
ReadParse error(const std::string& message) {
  ReadParse parse;
  parse.outcome = ReadParseOutcome::Error;
  parse.message = message;
  return parse;
}

bool takes_value(const std::string& name) {
  return name == "-c" || name == "-l" || name == "-d" || name == "-b" || name == "--start" ||
         name == "--length" || name == "--compare";
}
}  // namespace

ReadParse parse_read_options(const std::vector<std::string>& arguments) {
  ReadParse parse;
  ReadOptions& options = parse.options;
  bool length_given = false;
  std::vector<std::string> operands;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& name = arguments[i];
    if (name == "-h" || name == "--help" || name == "-?") {
      parse.outcome = ReadParseOutcome::Help;
      return parse;
    }
    if (name == "--force") {
      options.force = true;
      continue;
    }
    if (name == "--exact") {
      options.exact = true;
      continue;
    }
    if (name.size() < 2 || name[0] != '-') {
      operands.push_back(name);
      continue;
    }
    if (!takes_value(name)) return error("unknown option " + name);
    if (i + 1 >= arguments.size()) return error(name + " needs a value");
    const std::string& value = arguments[++i];
    if (name == "-c") {
      if (value.size() != 1 || value[0] < '1' || value[0] > '9') {
        return error("COM port number must be between 1 and 9");
      }
      options.port_name = "COM" + value;
    } else if (name == "-d") {
      if (value.size() != 1 || !is_flash_device(value[0] - '0')) {
        return error("device number must be 1 to 5 or 7");
      }
      options.device = value[0] - '0';
    } else if (name == "-b") {
      if (value != "19200" && value != "57600" && value != "115200") {
        return error("baud rate must be 19200, 57600 or 115200");
      }
      options.baud_rate = static_cast<std::uint32_t>(std::stoul(value));
    } else if (name == "-l") {
      options.load_driver = true;
      options.driver_file = value;
    } else if (name == "--compare") {
      options.compare_file = value;
    } else {
      std::uint32_t& target = name == "--start" ? options.start : options.length;
      if (!parse_size(value, target)) {
        return error("bad size '" + value + "' for " + name + ": at most 8M, decimal or 0x hex");
      }
      if (name == "--length") length_given = true;
    }
  }
  bool compare = !options.compare_file.empty();
  if (compare) {
    if (length_given || options.force || !operands.empty()) {
      return error("--compare takes no --length, --force nor OUT");
    }
    return parse;
  }
  if (options.exact) return error("--exact goes with --compare");
  if (!length_given || options.length == 0) return error("--length N (more than 0) is needed");
  if (operands.size() != 1) return error("one OUT file is needed");
  if (std::uint64_t{options.start} + options.length > IMAGE_CAPACITY) {
    return error("the range ends past the device's 8 MiB");
  }
  options.out = operands[0];
  return parse;
}

}  // namespace xarveld
