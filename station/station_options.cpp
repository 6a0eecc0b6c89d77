#include "station/station_options.hpp"

#include <algorithm>
#include <cstdlib>

namespace xarveld::station {

const char* const STATION_USAGE =
    "usage: xarveld-station [options] NAME=PORT... -- TOOL-ARGUMENTS...\n"
    "Runs xarveld once per slot, each in its own directory under runs/, shows their progress\n"
    "and appends one line per attempt to station-record.jsonl.\n"
    "  --slot NAME=PORT  a slot (also without --slot): a serial device on POSIX, COMn on Windows\n"
    "  --retries N       run an attempt again, up to N times, when it failed before the device\n"
    "                    was touched (default 1)\n"
    "  --timeout S       end a run that takes longer than S seconds (SIGTERM, SIGKILL 3 s later)\n"
    "  --jobs N          run at most N slots at once (default all)\n"
    "  --loop            serve the next board on each slot until interrupted: a slot starts\n"
    "                    again when its port comes back, or for every finished slot on Enter\n"
    "  --tool PATH       the xarveld to run (default the one beside xarveld-station)\n"
    "  --http ADDRESS:PORT  serve a read-only status page and event stream there, e.g.\n"
    "                    127.0.0.1:8080 or [::1]:0 (port 0: a free one); not on by default\n"
    "  --serial-at OFFSET, --serial-format FORMAT, --serial-range FIRST-LAST\n"
    "                    burn each board's own number from the ledger at OFFSET of the image;\n"
    "                    FORMAT u32le, u32be, u64le, u64be, dec:W or hex:W\n"
    "  --pool NAME       the pool of numbers (default the image's file name)\n"
    "  --ledger WHERE    the ledger: a file (default station-ledger.sqlite with numbers) or\n"
    "                    postgresql://USER@HOST/DATABASE; every attempt is recorded there too\n"
    "  --report [--csv]  print the ledger's counts per pool (with --csv: each number and the\n"
    "                    attempt that had it, as CSV) and exit\n"
    "  --help            print this text\n";

namespace {

bool parse_count(const std::string& text, int min, int max, int& value) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  long number = std::strtol(text.c_str(), nullptr, 10);
  if (number < min || number > max) return false;
  value = static_cast<int>(number);
  return true;
}

// A byte offset, decimal or 0x hex.
bool parse_offset(const std::string& text, std::uint64_t& value) {
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  std::string digits = hex ? text.substr(2) : text;
  if (digits.empty() || digits.size() > (hex ? 15u : 18u)) return false;
  for (char c : digits) {
    bool digit = (c >= '0' && c <= '9') ||
                 (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
    if (!digit) return false;
  }
  value = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
  return true;
}

StationParse refuse(std::string message) {
  StationParse parse;
  parse.outcome = StationParseOutcome::Error;
  parse.message = std::move(message);
  return parse;
}

// "NAME=PORT" into a slot; false with why when it is not one.
bool parse_slot(const std::string& text, Slot& slot, std::string& why) {
  std::size_t equals = text.find('=');
  if (equals == std::string::npos) {
    why = "a slot is NAME=PORT: " + text;
    return false;
  }
  slot.name = text.substr(0, equals);
  slot.port = text.substr(equals + 1);
  if (!slot_name_valid(slot.name, why)) {
    why += ": " + text;
    return false;
  }
  if (slot.port.empty()) {
    why = "slot " + slot.name + " has no port";
    return false;
  }
  return true;
}

}  // namespace

std::string slot_name_folded(const std::string& name) {
  std::string folded = name;
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

bool slot_name_valid(const std::string& name, std::string& why) {
  bool form = !name.empty() && name.size() <= 32 && name[0] != '.';
  for (char c : name) {
    form = form && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_' || c == '.');
  }
  if (!form) {
    why = "a slot name is 1 to 32 letters, digits, '-', '_' or '.', not starting with '.'";
    return false;
  }
  // Windows drops a final '.', and opens a device for these names, with any extension.
  if (name.back() == '.') {
    why = "a slot name cannot end in '.', which Windows drops";
    return false;
  }
  std::string stem = slot_name_folded(name.substr(0, name.find('.')));
  bool device = stem == "con" || stem == "prn" || stem == "aux" || stem == "nul" ||
                (stem.size() == 4 && (stem.rfind("com", 0) == 0 || stem.rfind("lpt", 0) == 0) &&
                 stem[3] >= '1' && stem[3] <= '9');
  if (device) {
    why = "slot name " + name + " is a device on Windows";
    return false;
  }
  if (slot_name_folded(name) == "images") {
    why = "slot name " + name + " is taken by runs/images, where the image copies live";
    return false;
  }
  return true;
}

StationParse parse_station_options(const std::vector<std::string>& arguments) {
  StationParse parse;
  StationOptions& options = parse.options;
  int serial_options = 0;  // a bit for each of the three
  bool help = false;
  for (const std::string& argument : arguments) {
    if (argument == "--") break;
    help = help || argument == "--help";
  }
  if (help) {
    parse.outcome = StationParseOutcome::Help;
    return parse;
  }
  bool report = std::find(arguments.begin(), arguments.end(), "--report") != arguments.end();
  if (!report && std::find(arguments.begin(), arguments.end(), "--") == arguments.end())
    return refuse("\"--\" must come between the slots and the tool's arguments");
  std::size_t i = 0;
  for (; i < arguments.size(); ++i) {
    std::string argument = arguments[i];
    if (argument == "--") {
      ++i;
      break;
    }
    if (argument == "--loop" || argument == "--report" || argument == "--csv") {
      (argument == "--loop" ? options.loop : argument == "--report" ? options.report
                                                                    : options.report_csv) = true;
      continue;
    }
    if (argument.rfind("--", 0) == 0) {
      std::string name = argument;
      std::string value;
      bool has_value = false;
      std::size_t equals = argument.find('=');
      if (equals != std::string::npos) {
        name = argument.substr(0, equals);
        value = argument.substr(equals + 1);
        has_value = true;
      }
      bool takes_value = name == "--slot" || name == "--retries" || name == "--timeout" ||
                         name == "--jobs" || name == "--tool" || name == "--http" || name == "--serial-at" ||
                         name == "--serial-format" || name == "--serial-range" ||
                         name == "--pool" || name == "--ledger";
      if (!takes_value) return refuse("unknown option " + name);
      if (!has_value) {
        if (i + 1 >= arguments.size()) return refuse(name + " needs a value");
        value = arguments[++i];
      }
      if (name == "--slot") {
        Slot slot;
        std::string why;
        if (!parse_slot(value, slot, why)) return refuse(why);
        options.slots.push_back(slot);
      } else if (name == "--retries") {
        if (!parse_count(value, 0, 100, options.retries))
          return refuse("--retries takes a count from 0 to 100: " + value);
      } else if (name == "--timeout") {
        if (!parse_count(value, 1, 86400, options.timeout_seconds))
          return refuse("--timeout takes seconds from 1 to 86400: " + value);
      } else if (name == "--jobs") {
        if (!parse_count(value, 1, 1000, options.jobs))
          return refuse("--jobs takes a count from 1 to 1000: " + value);
      } else if (name == "--http") {
        if (value.empty()) return refuse("--http needs ADDRESS:PORT");
        options.http = value;
      } else if (name == "--serial-at") {
        if (!parse_offset(value, options.serial_at))
          return refuse("--serial-at takes a byte offset, decimal or 0x hex: " + value);
        serial_options += 1;
      } else if (name == "--serial-format") {
        std::string why;
        if (!parse_serial_format(value, options.serial_format, why))
          return refuse("--serial-format: " + why);
        serial_options += 2;
      } else if (name == "--serial-range") {
        std::string why;
        if (!parse_serial_range(value, options.serial_first, options.serial_last, why))
          return refuse("--serial-range: " + why);
        serial_options += 4;
      } else if (name == "--pool" || name == "--ledger") {
        if (value.empty()) return refuse(name + " needs a value");
        (name == "--pool" ? options.pool : options.ledger) = value;
      } else {
        if (value.empty()) return refuse("--tool needs a path");
        options.tool = value;
      }
      continue;
    }
    if (argument.size() > 1 && argument[0] == '-') return refuse("unknown option " + argument);
    Slot slot;
    std::string why;
    if (!parse_slot(argument, slot, why)) return refuse(why);
    options.slots.push_back(slot);
  }
  options.tool_arguments.assign(arguments.begin() + static_cast<std::ptrdiff_t>(i),
                                arguments.end());
  if (serial_options != 0 && serial_options != 7)
    return refuse("--serial-at, --serial-format and --serial-range come together");
  options.numbered = serial_options == 7;
  if (options.report_csv && !options.report) return refuse("--csv goes with --report");
  if (options.report) {
    if (options.numbered || !options.slots.empty() || !options.tool_arguments.empty())
      return refuse("--report takes only --ledger (and --csv)");
    return parse;
  }
  if (!options.pool.empty() && !options.numbered)
    return refuse("--pool names the pool of --serial-range");
  if (options.numbered && options.serial_last > serial_format_max(options.serial_format))
    return refuse("--serial-range: " + std::to_string(options.serial_last) + " does not fit " +
                  "--serial-format, which holds at most " +
                  std::to_string(serial_format_max(options.serial_format)));
  if (options.slots.empty()) return refuse("no slot given (NAME=PORT)");
  for (std::size_t a = 0; a < options.slots.size(); ++a) {
    for (std::size_t b = 0; b < a; ++b) {
      if (options.slots[a].name == options.slots[b].name)
        return refuse("slot " + options.slots[a].name + " is given twice");
      // One directory on Windows and macOS: a station's slots move between systems.
      if (slot_name_folded(options.slots[a].name) == slot_name_folded(options.slots[b].name))
        return refuse("slots " + options.slots[b].name + " and " + options.slots[a].name +
                      " differ only in case");
      if (options.slots[a].port == options.slots[b].port)
        return refuse("port " + options.slots[a].port + " is given to slots " +
                      options.slots[b].name + " and " + options.slots[a].name);
    }
  }
  return parse;
}

}  // namespace xarveld::station
