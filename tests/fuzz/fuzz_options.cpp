// The option parser over argument lists cut from the input at its zero bytes, checked for the
// outcome's form and against a second, independent walk of the command line.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cli/options.hpp"
#include "tests/fuzz/fuzz_check.hpp"

namespace {

using namespace xarveld;

const char* const ERROR_MESSAGES[] = {
    "COM port number must be between 1 and 9.\n",
    "Device number must be between 1 and 7.\n",
    "Filename expected after -l\n",
    "Incorrect baud rate. Must be 19200, 57600 or 115200.",
    "Incorrect usage\n",
    "Flash file name must be specified.\n",
};

// An empty input is no argument at all; otherwise every zero byte ends one argument, and what
// follows the last zero byte is the last argument (possibly empty).
std::vector<std::string> split_arguments(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> arguments;
  if (size == 0) return arguments;
  std::string current;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      arguments.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  arguments.push_back(current);
  return arguments;
}

// The character at position i of the C string s, '\0' at and past its end.
char at(const std::string& s, std::size_t i) { return i < s.size() ? s[i] : '\0'; }

bool passes_name_test(const std::string& name) {
  std::size_t n = name.size();
  return (n >= 4 && name[n - 4] == '.') || (n >= 3 && name[n - 3] == 'h') ||
         (n >= 2 && name[n - 2] == 'e') || (n >= 1 && name[n - 1] == 'x');
}

// The command line walked as the C tool reads its argv: character by character.
ParseResult reference_parse(const std::vector<std::string>& args) {
  ParseResult result;
  if (args.empty() || (args.size() == 1 && at(args[0], 0) == '-' && at(args[0], 1) == '?')) {
    result.outcome = ParseOutcome::Usage;
    return result;
  }
  auto fail = [&result](const char* message) {
    result.outcome = ParseOutcome::Error;
    result.message = message;
    return result;
  };
  Options& o = result.options;
  std::size_t argc = args.size();
  for (std::size_t i = 0; i + 1 < argc; ++i) {
    if (at(args[i], 0) != '-') continue;
    const std::string& value = args[i + 1];
    char v0 = at(value, 0);
    bool one_char = v0 != '\0' && at(value, 1) == '\0';
    switch (at(args[i], 1)) {
      case 'c':
        if (!one_char || v0 < '1' || v0 > '9') return fail(ERROR_MESSAGES[0]);
        o.port_name = std::string("COM") + v0;
        break;
      case 'd':
        if (!one_char || v0 < '1' || v0 > '7') return fail(ERROR_MESSAGES[1]);
        o.device_number = v0 - '0';
        break;
      case 'l':
        if (v0 == '-') return fail(ERROR_MESSAGES[2]);
        o.load_driver = true;
        o.driver_file = value;
        ++i;
        break;
      case 'b':
        if (std::strcmp(value.c_str(), "19200") == 0) {
          o.baud_rate = 19200;
        } else if (std::strcmp(value.c_str(), "57600") == 0) {
          o.baud_rate = 57600;
        } else if (std::strcmp(value.c_str(), "115200") == 0) {
          o.baud_rate = 115200;
        } else {
          return fail(ERROR_MESSAGES[3]);
        }
        break;
      case 'v':
        o.verify_mode = VERIFY_DATA;
        break;
      case 'x':
        o.verify_mode = VERIFY_CHECKSUM;
        break;
      case 'p':
        o.program = true;
        break;
      default:
        return fail(ERROR_MESSAGES[4]);
    }
  }
  if (!passes_name_test(args[argc - 1])) return fail(ERROR_MESSAGES[5]);
  o.device_file = args[argc - 1];
  return result;
}

void check_form(const std::vector<std::string>& args, const ParseResult& parsed) {
  bool usage_asked = args.empty() || (args.size() == 1 && args[0].rfind("-?", 0) == 0);
  FUZZ_CHECK((parsed.outcome == ParseOutcome::Usage) == usage_asked);
  if (parsed.outcome == ParseOutcome::Error) {
    bool known = false;
    for (const char* message : ERROR_MESSAGES) known = known || std::strcmp(parsed.message, message) == 0;
    FUZZ_CHECK(known);
  }
  if (parsed.outcome != ParseOutcome::Run) return;
  const Options& o = parsed.options;
  FUZZ_CHECK(passes_name_test(args.back()) && o.device_file == args.back());
  FUZZ_CHECK(o.port_name.size() == 4 && o.port_name.compare(0, 3, "COM") == 0 &&
             o.port_name[3] >= '1' && o.port_name[3] <= '9');
  FUZZ_CHECK(o.baud_rate == 19200 || o.baud_rate == 57600 || o.baud_rate == 115200);
  FUZZ_CHECK(o.device_number >= 1 && o.device_number <= 7);
  FUZZ_CHECK(o.verify_mode >= VERIFY_NONE && o.verify_mode <= VERIFY_CHECKSUM);
  FUZZ_CHECK(o.load_driver || o.driver_file.empty());
}

void check_same(const ParseResult& parsed, const ParseResult& expected) {
  FUZZ_CHECK(parsed.outcome == expected.outcome);
  if (parsed.outcome == ParseOutcome::Error) {
    FUZZ_CHECK(std::strcmp(parsed.message, expected.message) == 0);
  }
  if (parsed.outcome != ParseOutcome::Run) return;
  const Options& a = parsed.options;
  const Options& b = expected.options;
  FUZZ_CHECK(a.port_name == b.port_name);
  FUZZ_CHECK(a.baud_rate == b.baud_rate);
  FUZZ_CHECK(a.load_driver == b.load_driver && a.driver_file == b.driver_file);
  FUZZ_CHECK(a.device_number == b.device_number);
  FUZZ_CHECK(a.program == b.program);
  FUZZ_CHECK(a.verify_mode == b.verify_mode);
  FUZZ_CHECK(a.device_file == b.device_file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args = split_arguments(data, size);
  ParseResult parsed = parse_options(args);
  check_form(args, parsed);
  check_same(parsed, reference_parse(args));
  return 0;
}
