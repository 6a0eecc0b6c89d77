#include "station/station_options.hpp"

#include <algorithm>
#include <cstdlib>

namespace xarveld::station {

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

// "slot", "station", "shift" or "day".
bool parse_yield_by(const std::string& text, YieldBy& by) {
  const std::pair<const char*, YieldBy> names[] = {{"slot", YieldBy::Slot},
                                                   {"station", YieldBy::Station},
                                                   {"shift", YieldBy::Shift},
                                                   {"day", YieldBy::Day}};
  for (const auto& [name, value] : names) {
    if (text == name) {
      by = value;
      return true;
    }
  }
  return false;
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

// "NAME[,NAME...]": host names, as DNS has them: labels of letters, digits and '-', apart by '.'.
bool parse_host_names(const std::string& value, std::vector<std::string>& names,
                      std::string& why) {
  std::size_t from = 0;
  for (;;) {
    std::size_t comma = value.find(',', from);
    std::string name = value.substr(from, comma == std::string::npos ? comma : comma - from);
    bool form = !name.empty() && name.size() <= 253 && name.front() != '.' &&
                name.front() != '-' && name.find("..") == std::string::npos;
    for (char c : name) {
      form = form && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                      (c >= '0' && c <= '9') || c == '-' || c == '.');
    }
    if (!form) {
      why = "--http-name takes host names apart by ',' (letters, digits, '-', '.'): " + value;
      return false;
    }
    names.push_back(name);
    if (comma == std::string::npos) return true;
    from = comma + 1;
  }
}

// Each option: its name, its value's name (none for a flag), how the usage names it (with the
// option before it when null), its help, its lines apart by '\n', and what it does with its
// value: false with why when the value will not do.
struct StationOption {
  const char* name;
  const char* value;
  const char* usage;
  const char* help;
  bool (*apply)(const std::string& value, StationOptions& options, std::string& why);
};

bool count_option(const std::string& value, int min, int max, const char* what, int& count,
                  const char* name, std::string& why) {
  if (parse_count(value, min, max, count)) return true;
  why = std::string(name) + " takes " + what + " from " + std::to_string(min) + " to " +
        std::to_string(max) + ": " + value;
  return false;
}

// A value that may not be empty.
bool text_option(const std::string& value, std::string& text, const std::string& needed,
                 std::string& why) {
  if (value.empty()) {
    why = needed;
    return false;
  }
  text = value;
  return true;
}

const StationOption OPTIONS[] = {
    {"--slot", "NAME=PORT", "--slot NAME=PORT",
     "a slot (also without --slot): a serial device on POSIX, COMn on Windows",
     [](const std::string& value, StationOptions& options, std::string& why) {
       Slot slot;
       if (!parse_slot(value, slot, why)) return false;
       options.slots.push_back(slot);
       return true;
     }},
    {"--retries", "N", "--retries N",
     "run an attempt again, up to N times, when it failed before the device\nwas touched "
     "(default 1)",
     [](const std::string& value, StationOptions& options, std::string& why) {
       return count_option(value, 0, 100, "a count", options.retries, "--retries", why);
     }},
    {"--timeout", "S", "--timeout S",
     "end a run that takes longer than S seconds (SIGTERM, SIGKILL 3 s later)",
     [](const std::string& value, StationOptions& options, std::string& why) {
       return count_option(value, 1, 86400, "seconds", options.timeout_seconds, "--timeout", why);
     }},
    {"--jobs", "N", "--jobs N", "run at most N slots at once (default all)",
     [](const std::string& value, StationOptions& options, std::string& why) {
       return count_option(value, 1, 1000, "a count", options.jobs, "--jobs", why);
     }},
    {"--loop", nullptr, "--loop",
     "serve the next board on each slot until interrupted: a slot starts\nagain when its port "
     "comes back, or for every finished slot on Enter",
     [](const std::string&, StationOptions& options, std::string&) {
       options.loop = true;
       return true;
     }},
    {"--tool", "PATH", "--tool PATH", "the xarveld to run (default the one beside xarveld-station)",
     [](const std::string& value, StationOptions& options, std::string& why) {
       return text_option(value, options.tool, "--tool needs a path", why);
     }},
    {"--backup", nullptr, "--backup",
     "before each burn, read what the image will overwrite into the\nattempt's before.bin "
     "(read-only); a backup that fails burns nothing",
     [](const std::string&, StationOptions& options, std::string&) {
       options.backup = true;
       return true;
     }},
    {"--read-tool", "PATH", "--read-tool PATH",
     "what reads the device for --backup (default the xarveld-read\nbeside the tool)",
     [](const std::string& value, StationOptions& options, std::string& why) {
       return text_option(value, options.read_tool, "--read-tool needs a path", why);
     }},
    {"--http", "ADDRESS:PORT", "--http ADDRESS:PORT",
     "serve a read-only status page and event stream there, e.g.\n127.0.0.1:8080 or [::1]:0 "
     "(port 0: a free one); not on by default",
     [](const std::string& value, StationOptions& options, std::string& why) {
       return text_option(value, options.http, "--http needs ADDRESS:PORT", why);
     }},
    {"--http-name", "NAME[,NAME...]", "--http-name NAME[,NAME...]",
     "answer the page's requests for these host\nnames too (by default only the address, and "
     "localhost on loopback)",
     [](const std::string& value, StationOptions& options, std::string& why) {
       return parse_host_names(value, options.http_names, why);
     }},
    {"--serial-at", "OFFSET", "--serial-at OFFSET, --serial-format FORMAT, --serial-range FIRST-LAST",
     "burn each board's own number from the ledger at OFFSET of the image;\nFORMAT u32le, u32be, "
     "u64le, u64be, dec:W or hex:W",
     [](const std::string& value, StationOptions& options, std::string& why) {
       if (parse_offset(value, options.serial_at)) return true;
       why = "--serial-at takes a byte offset, decimal or 0x hex: " + value;
       return false;
     }},
    {"--serial-format", "FORMAT", nullptr, nullptr,
     [](const std::string& value, StationOptions& options, std::string& why) {
       if (parse_serial_format(value, options.serial_format, why)) return true;
       why = "--serial-format: " + why;
       return false;
     }},
    {"--serial-range", "FIRST-LAST", nullptr, nullptr,
     [](const std::string& value, StationOptions& options, std::string& why) {
       if (parse_serial_range(value, options.serial_first, options.serial_last, why)) return true;
       why = "--serial-range: " + why;
       return false;
     }},
    {"--pool", "NAME", "--pool NAME", "the pool of numbers (default the image's file name)",
     [](const std::string& value, StationOptions& options, std::string& why) {
       return text_option(value, options.pool, "--pool needs a value", why);
     }},
    {"--ledger", "WHERE", "--ledger WHERE",
     "the ledger: a file, or postgresql://USER@HOST/DATABASE (default\n"
     "$XARVELD_LEDGER, else this PC's own file); every attempt is recorded there",
     [](const std::string& value, StationOptions& options, std::string& why) {
       return text_option(value, options.ledger, "--ledger needs a value", why);
     }},
    {"--new-ledger", nullptr, "--new-ledger",
     "make the ledger, which must not be there yet (a file, or the tables in\n"
     "an empty database); without slots, make it and exit",
     [](const std::string&, StationOptions& options, std::string&) {
       options.new_ledger = true;
       return true;
     }},
    {"--report", nullptr, "--report [--csv]",
     "print the ledger's counts per pool (with --csv: each number and the\nattempt that had it, "
     "as CSV) and exit",
     [](const std::string&, StationOptions& options, std::string&) {
       options.report = true;
       return true;
     }},
    {"--yield", nullptr, "--report --yield [--by slot|station|shift|day] [--since 8h] [--csv]",
     "print the boards' first-pass and final yield, in total or per group\n(--by), of the "
     "boards first tried within --since (30m, 8h, 7d), and exit",
     [](const std::string&, StationOptions& options, std::string&) {
       options.report_yield = true;
       return true;
     }},
    {"--by", "GROUP", nullptr, nullptr,
     [](const std::string& value, StationOptions& options, std::string& why) {
       if (parse_yield_by(value, options.yield_by)) return true;
       why = "--by takes slot, station, shift or day: " + value;
       return false;
     }},
    {"--since", "SPAN", nullptr, nullptr,
     [](const std::string& value, StationOptions& options, std::string& why) {
       if (parse_since(value, options.since_ms)) return true;
       why = "--since takes minutes, hours or days, e.g. 30m, 8h or 7d: " + value;
       return false;
     }},
    {"--pareto", nullptr, "--report --pareto [--since 8h] [--csv]",
     "print the failed attempts by reason, most frequent first, and exit",
     [](const std::string&, StationOptions& options, std::string&) {
       options.report_pareto = true;
       return true;
     }},
    {"--csv", nullptr, nullptr, nullptr,
     [](const std::string&, StationOptions& options, std::string&) {
       options.report_csv = true;
       return true;
     }},
    {"--help", nullptr, "--help", "print this text",
     [](const std::string&, StationOptions&, std::string&) { return true; }},
    {"--version", nullptr, "--version", "print the station's version",
     [](const std::string&, StationOptions&, std::string&) { return true; }},
};

const StationOption* find_option(const std::string& name) {
  for (const StationOption& option : OPTIONS) {
    if (name == option.name) return &option;
  }
  return nullptr;
}

}  // namespace

std::string station_usage() {
  constexpr std::size_t HELP_COLUMN = 20;
  std::string text =
      "usage: xarveld-station [options] NAME=PORT... -- TOOL-ARGUMENTS...\n"
      "Runs xarveld once per slot, each in its own directory under runs/, shows their progress\n"
      "and appends one line per attempt to station-record.jsonl.\n";
  for (const StationOption& option : OPTIONS) {
    if (option.usage == nullptr) continue;
    std::string left = std::string("  ") + option.usage;
    // A name too long for its column goes before its help, or on a line of its own.
    if (left.size() + 2 <= HELP_COLUMN) {
      left.resize(HELP_COLUMN, ' ');
    } else if (left.size() < 2 * HELP_COLUMN) {
      left += "  ";
    } else {
      left += "\n" + std::string(HELP_COLUMN, ' ');
    }
    std::string help = option.help;
    for (std::size_t at = help.find('\n'); at != std::string::npos; at = help.find('\n', at + 1)) {
      help.insert(at + 1, HELP_COLUMN, ' ');
    }
    text += left + help + "\n";
  }
  return text;
}

bool parse_since(const std::string& text, std::int64_t& ms) {
  if (text.size() < 2 || text.size() > 7) return false;
  std::int64_t unit = 0;
  switch (text.back()) {
    case 'm': unit = 60000; break;
    case 'h': unit = 3600000; break;
    case 'd': unit = 86400000; break;
    default: return false;
  }
  std::int64_t count = 0;
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    count = count * 10 + (text[i] - '0');
  }
  if (count == 0) return false;
  ms = count * unit;
  return true;
}

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
  for (const std::string& argument : arguments) {
    if (argument == "--") break;
    if (argument == "--help" || argument == "--version") {
      parse.outcome =
          argument == "--help" ? StationParseOutcome::Help : StationParseOutcome::Version;
      return parse;
    }
  }
  auto has = [&](const char* argument) {
    return std::find(arguments.begin(), arguments.end(), argument) != arguments.end();
  };
  // Without "--" the station runs no tool: it reports, or it makes the ledger.
  bool report = has("--report") || has("--yield") || has("--pareto");
  bool make_ledger = !report && !has("--") && has("--new-ledger");
  if (!report && !make_ledger && !has("--"))
    return refuse("\"--\" must come between the slots and the tool's arguments");
  std::vector<std::string> given;  // the options' names, as they came
  std::size_t i = 0;
  for (; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--") {
      ++i;
      break;
    }
    if (argument.rfind("--", 0) == 0) {
      std::size_t equals = argument.find('=');
      std::string name = argument.substr(0, equals);
      bool has_value = equals != std::string::npos;
      std::string value = has_value ? argument.substr(equals + 1) : "";
      const StationOption* option = find_option(name);
      // A flag given a value is no option the station knows.
      if (option == nullptr || (option->value == nullptr && has_value))
        return refuse("unknown option " + name);
      if (option->value != nullptr && !has_value) {
        if (i + 1 >= arguments.size()) return refuse(name + " needs a value");
        value = arguments[++i];
      }
      // Taken twice, one would silently stand for the other; slots are many by nature.
      if (name != "--slot" && std::find(given.begin(), given.end(), name) != given.end())
        return refuse(name + " is given twice");
      std::string why;
      if (!option->apply(value, options, why)) return refuse(why);
      given.push_back(name);
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
  auto was_given = [&](const char* name) {
    return std::find(given.begin(), given.end(), name) != given.end();
  };
  // A bit each: the rule sees which of the three came, not how many options did.
  unsigned serial_options = (was_given("--serial-at") ? 1u : 0u) |
                            (was_given("--serial-format") ? 2u : 0u) |
                            (was_given("--serial-range") ? 4u : 0u);
  if (serial_options != 0 && serial_options != 7)
    return refuse("--serial-at, --serial-format and --serial-range come together");
  options.numbered = serial_options == 7;
  if (options.report_csv && !options.report) return refuse("--csv goes with --report");
  if (!options.read_tool.empty() && !options.backup)
    return refuse("--read-tool goes with --backup");
  if (!options.http_names.empty() && options.http.empty())
    return refuse("--http-name goes with --http");
  if ((options.report_yield || options.report_pareto) && !options.report)
    return refuse(std::string(options.report_yield ? "--yield" : "--pareto") +
                  " goes with --report");
  if (options.report_yield && options.report_pareto)
    return refuse("--yield and --pareto are two reports: ask for one at a time");
  if (was_given("--by") && !options.report_yield) return refuse("--by goes with --yield");
  if (was_given("--since") && !options.report_yield && !options.report_pareto)
    return refuse("--since goes with --yield or --pareto");
  if (options.report) {
    if (options.numbered || options.new_ledger || !options.slots.empty() ||
        !options.tool_arguments.empty())
      return refuse("--report takes only --ledger, --csv, --yield, --pareto, --by and --since");
    return parse;
  }
  if (make_ledger) {
    // --tool names what a shift would run, and changes nothing here.
    for (const std::string& name : given) {
      if (name != "--new-ledger" && name != "--ledger" && name != "--tool")
        return refuse("--new-ledger without slots takes only --ledger");
    }
    if (!options.slots.empty())
      return refuse("\"--\" must come between the slots and the tool's arguments");
    return parse;
  }
  if (options.new_ledger && !options.numbered && options.ledger.empty())
    return refuse("--new-ledger makes the ledger of --serial-at or --ledger: neither is given");
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
