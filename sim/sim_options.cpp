#include "sim/sim_options.hpp"

#include <cerrno>
#include <cstdlib>

namespace xarveld::sim {

namespace {
constexpr std::uint32_t MAX_FRAGMENT_PIECES = 64;
constexpr std::uint64_t MAX_BAUD = 10000000;
constexpr std::uint64_t MAX_LATENCY_MS = 1000;
// The banner waits in the tool's input queue, which must take it whole.
constexpr std::size_t MAX_BANNER_BYTES = 1000;
constexpr std::uint64_t MAX_STALL_MS = 60000;

struct OptionHelp {
  const char* name;
  const char* value;  // nullptr: a flag
  const char* text;
};

constexpr OptionHelp OPTION_HELP[] = {
    {"--help", nullptr, "print this text and exit"},
    {"--dir", "DIR", "publish the line as DIR/COMn (default: the working directory)"},
    {"--port", "N", "n in COMn, 1 to 9 (default 1)"},
    {"--serve-forever", nullptr, "serve session after session instead of ending at disconnect"},
    {"--start", "raw|yenc", "framing each session begins in (default raw)"},
    {"--yenc-only", nullptr, "never use raw framing, not even in a new session"},
    {"--dump", "DIR", "at the end write sram.bin and deviceN.bin for written devices to DIR"},
    {"--wire", "FILE", "log every frame received and sent to FILE"},
    {"--load", "DEV=FILE", "device DEV starts holding FILE from offset 0; repeatable"},
    {"--silent", nullptr, "never answer"},
    {"--ping-code", "X", "raw-framing CMD_PING answers carry X (hex) in word 1 (default 050e)"},
    {"--refuse-flash", nullptr, "refuse every flash CMD_BEGIN (answer with code 2)"},
    {"--drop", "CODE:K[,K...]", "no answer to the K-th command with code CODE (hex); repeatable"},
    {"--corrupt", "CODE:K[,K...]", "answer the K-th command with code CODE with a bad checksum"},
    {"--wrong-channel", "K", "send the K-th answer on a channel other than 'G' (yEnc framing)"},
    {"--garbage", "K", "send a line that does not start with '=' instead of the K-th answer"},
    {"--fragment", "N", "send each answer in N pieces a few ms apart"},
    {"--pace", "BAUD", "move bytes no faster than a line at BAUD (10 bits a byte)"},
    {"--latency", "MS", "hold answers as a USB adapter's latency timer of MS ms does (0-1000)"},
    {"--banner", "TEXT", "put TEXT and CR LF on the line for the tool before it is ready"},
    {"--flip", "DEV:OFFSET[:TIMES]",
     "read the byte at OFFSET of device DEV back wrong, TIMES times (default always)"},
    {"--short-read", "K", "the K-th CMD_READ_NEXT answer carries fewer words than its block (data)"},
    {"--hangup-after", "CODE:K", "carry out the K-th command CODE, then cut the line unanswered"},
    {"--stop-reading-after", "CODE:K", "answer the K-th command CODE, then never read again"},
    {"--stall-after", "CODE:K:MS",
     "answer the K-th command CODE, then take nothing for MS ms (1-60000) and go on"},
    {"--seed", "S", "seed of the chaos draws (default 0)"},
    {"--chaos", "P", "strike each command or its answer with probability P (0 to 1)"},
    {"--chaos-kinds", "LIST",
     "what chaos may do: drop,corrupt,fragment (answers), lose-command,garble-command (commands); "
     "default the first three"},
};

const OptionHelp* find_option(const std::string& name) {
  for (const OptionHelp& option : OPTION_HELP) {
    if (name == option.name) return &option;
  }
  return nullptr;
}

bool parse_number(const std::string& text, int base, std::uint64_t max, std::uint64_t& value) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long parsed = std::strtoull(text.c_str(), &end, base);
  if (errno != 0 || end == text.c_str() || *end != '\0' || parsed > max) return false;
  value = parsed;
  return true;
}

// Decimal, or hexadecimal after "0x".
bool parse_count(const std::string& text, std::uint64_t max, std::uint64_t& value) {
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  return parse_number(hex ? text.substr(2) : text, hex ? 16 : 10, max, value);
}

// Hexadecimal, with or without "0x".
bool parse_hex(const std::string& text, std::uint64_t max, std::uint64_t& value) {
  bool prefixed = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  return parse_number(prefixed ? text.substr(2) : text, 16, max, value);
}

bool parse_ordinal(const std::string& text, std::uint32_t& value) {
  std::uint64_t parsed = 0;
  if (!parse_count(text, UINT32_MAX, parsed) || parsed == 0) return false;
  value = static_cast<std::uint32_t>(parsed);
  return true;
}

// CODE:K[,K...]
bool parse_occurrences(const std::string& text, bool one_only, CodeOccurrences& out) {
  std::size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  std::uint64_t code = 0;
  if (!parse_hex(text.substr(0, colon), 0xFFF, code)) return false;
  out.code = static_cast<std::uint16_t>(code);
  std::string list = text.substr(colon + 1);
  std::size_t start = 0;
  for (;;) {
    std::size_t comma = list.find(',', start);
    std::uint32_t occurrence = 0;
    if (!parse_ordinal(list.substr(start, comma - start), occurrence)) return false;
    out.occurrences.push_back(occurrence);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return !one_only || out.occurrences.size() == 1;
}

// DEV:OFFSET[:TIMES]
bool parse_flip(const std::string& text, FlipSpec& flip) {
  std::size_t first = text.find(':');
  if (first == std::string::npos) return false;
  std::size_t second = text.find(':', first + 1);
  std::uint64_t device = 0;
  std::uint64_t offset = 0;
  if (!parse_count(text.substr(0, first), DEVICE_COUNT - 1, device)) return false;
  if (!parse_count(text.substr(first + 1, second - first - 1), DEVICE_BYTES - 1, offset)) {
    return false;
  }
  flip.device = static_cast<std::uint16_t>(device);
  flip.offset = static_cast<std::uint32_t>(offset);
  flip.times = -1;
  if (second == std::string::npos) return true;
  std::uint32_t times = 0;
  if (!parse_ordinal(text.substr(second + 1), times)) return false;
  flip.times = times;
  return true;
}

// A comma-separated list of chaos kinds, each at most once.
bool parse_chaos_kinds(const std::string& text, std::vector<ChaosKind>& kinds) {
  kinds.clear();
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    std::string name = text.substr(start, end - start);
    ChaosKind kind = name == "drop"             ? ChaosKind::Drop
                     : name == "corrupt"        ? ChaosKind::Corrupt
                     : name == "fragment"       ? ChaosKind::Fragment
                     : name == "lose-command"   ? ChaosKind::LoseCommand
                     : name == "garble-command" ? ChaosKind::GarbleCommand
                                                : ChaosKind::None;
    if (kind == ChaosKind::None) return false;
    for (ChaosKind known : kinds) {
      if (known == kind) return false;
    }
    kinds.push_back(kind);
    start = end + 1;
  }
  return !kinds.empty();
}

bool parse_probability(const std::string& text, double& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  double parsed = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || !(parsed >= 0.0 && parsed <= 1.0)) return false;
  value = parsed;
  return true;
}

// Applies one option with its value; false when the value is not acceptable.
bool apply_option(const std::string& name, const std::string& value, SimOptions& options,
                  bool& start_given) {
  FaultOptions& faults = options.loader.faults;
  std::uint64_t number = 0;
  if (name == "--dir") {
    options.directory = value;
    return !value.empty();
  }
  if (name == "--port") {
    if (value.size() != 1 || value[0] < '1' || value[0] > '9') return false;
    options.port = value[0] - '0';
    return true;
  }
  if (name == "--start") {
    start_given = true;
    if (value == "raw") options.loader.start_framing = Framing::Raw;
    else if (value == "yenc") options.loader.start_framing = Framing::YEnc;
    else return false;
    return true;
  }
  if (name == "--dump") {
    options.dump_directory = value;
    return !value.empty();
  }
  if (name == "--wire") {
    options.wire_path = value;
    return !value.empty();
  }
  if (name == "--load") {
    std::size_t equals = value.find('=');
    if (equals == std::string::npos || equals + 1 == value.size() ||
        !parse_count(value.substr(0, equals), DEVICE_COUNT - 1, number)) {
      return false;
    }
    options.loads.push_back({static_cast<std::uint16_t>(number), value.substr(equals + 1)});
    return true;
  }
  if (name == "--ping-code") {
    if (!parse_hex(value, 0xFFFF, number)) return false;
    faults.ping_code = static_cast<std::uint16_t>(number);
    return true;
  }
  if (name == "--drop" || name == "--corrupt") {
    CodeOccurrences occurrences;
    if (!parse_occurrences(value, false, occurrences)) return false;
    (name == "--drop" ? faults.drops : faults.corrupts).push_back(occurrences);
    return true;
  }
  if (name == "--hangup-after" || name == "--stop-reading-after") {
    CodeOccurrences occurrences;
    if (!parse_occurrences(value, true, occurrences)) return false;
    bool hang_up = name == "--hangup-after";
    (hang_up ? faults.hangup_code : faults.stop_reading_code) = occurrences.code;
    (hang_up ? faults.hangup_occurrence : faults.stop_reading_occurrence) =
        occurrences.occurrences[0];
    return true;
  }
  if (name == "--stall-after") {
    std::size_t last = value.rfind(':');
    CodeOccurrences occurrences;
    if (last == std::string::npos || !parse_occurrences(value.substr(0, last), true, occurrences) ||
        !parse_count(value.substr(last + 1), MAX_STALL_MS, number) || number == 0) {
      return false;
    }
    faults.stall_code = occurrences.code;
    faults.stall_occurrence = occurrences.occurrences[0];
    faults.stall_ms = static_cast<std::uint32_t>(number);
    return true;
  }
  if (name == "--wrong-channel") return parse_ordinal(value, faults.wrong_channel_answer);
  if (name == "--garbage") return parse_ordinal(value, faults.garbage_answer);
  if (name == "--short-read") return parse_ordinal(value, faults.short_read_answer);
  if (name == "--fragment") {
    if (!parse_count(value, MAX_FRAGMENT_PIECES, number) || number == 0) return false;
    faults.fragment_pieces = static_cast<std::uint32_t>(number);
    return true;
  }
  if (name == "--pace") {
    if (!parse_count(value, MAX_BAUD, number) || number == 0) return false;
    options.pace_baud = static_cast<std::uint32_t>(number);
    return true;
  }
  if (name == "--latency") {
    if (!parse_count(value, MAX_LATENCY_MS, number)) return false;
    options.latency_ms = static_cast<std::uint32_t>(number);
    return true;
  }
  if (name == "--banner") {
    options.banner = value;
    return !value.empty() && value.size() <= MAX_BANNER_BYTES;
  }
  if (name == "--flip") {
    FlipSpec flip;
    if (!parse_flip(value, flip)) return false;
    faults.flips.push_back(flip);
    return true;
  }
  if (name == "--seed") return parse_count(value, UINT64_MAX, faults.seed);
  if (name == "--chaos") return parse_probability(value, faults.chaos);
  if (name == "--chaos-kinds") return parse_chaos_kinds(value, faults.chaos_kinds);
  return false;
}

void apply_flag(const std::string& name, SimOptions& options) {
  if (name == "--serve-forever") options.serve_forever = true;
  if (name == "--yenc-only") options.yenc_only = true;
  if (name == "--silent") options.loader.faults.silent = true;
  if (name == "--refuse-flash") options.loader.faults.refuse_flash = true;
}

SimParse parse_error(const std::string& message) {
  SimParse parse;
  parse.status = ParseStatus::Error;
  parse.error = message;
  return parse;
}
}  // namespace

SimParse parse_sim_options(const std::vector<std::string>& arguments) {
  SimParse parse;
  bool start_given = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string name = arguments[i];
    std::string value;
    bool value_attached = false;
    std::size_t equals = name.find('=');
    if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = name.substr(equals + 1);
      name.resize(equals);
      value_attached = true;
    }
    const OptionHelp* option = find_option(name);
    if (option == nullptr) return parse_error("unknown option '" + arguments[i] + "'");
    if (name == "--help") {
      parse.status = ParseStatus::Help;
      return parse;
    }
    if (option->value == nullptr) {
      if (value_attached) return parse_error(name + " takes no value");
      apply_flag(name, parse.options);
      continue;
    }
    if (!value_attached) {
      if (i + 1 >= arguments.size()) return parse_error(name + " needs a value " + option->value);
      value = arguments[++i];
    }
    if (!apply_option(name, value, parse.options, start_given)) {
      return parse_error("bad value '" + value + "' for " + name + " " + option->value);
    }
  }
  if (parse.options.yenc_only) {
    if (start_given && parse.options.loader.start_framing == Framing::Raw) {
      return parse_error("--yenc-only cannot --start raw");
    }
    parse.options.loader.start_framing = Framing::YEnc;
  }
  return parse;
}

std::string sim_usage() {
  std::string usage =
      "Usage: xarveld-sim [options]\n"
      "A simulated target: the resident loader on a pseudo-terminal, published as DIR/COMn.\n"
      "Prints \"<slave path> ready\" once listening.\n\nOptions:\n";
  for (const OptionHelp& option : OPTION_HELP) {
    std::string left = std::string("  ") + option.name;
    if (option.value != nullptr) left += std::string(" ") + option.value;
    if (left.size() < 30) left.resize(30, ' ');
    else left += ' ';
    usage += left + option.text + "\n";
  }
  return usage;
}

}  // namespace xarveld::sim
