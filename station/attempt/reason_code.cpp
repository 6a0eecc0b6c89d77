#include "station/attempt/reason_code.hpp"

#include <cstring>

#include "station/attempt/plain_text.hpp"

namespace xarveld::station {

namespace {
using enum Says;

// In the order a line is tried against them: xarveld's own messages, then xarveld-read's.
constexpr ToolMessage TABLE[] = {
    // Standard output, in the order a run prints it.
    {"Serial port opened...", Nothing, nullptr},
    {"Could not open serial port!", Cause, "PORT_UNAVAILABLE"},
    {"RAW mode detected.", Nothing, nullptr},
    {"yEnc encoding detected.", Nothing, nullptr},
    {"Connection timed out!", Cause, "NO_ANSWER"},
    {"Serial Read Error = %d", Cause, "PORT_VANISHED"},
    {"Could not open bin file: %s", Cause, "TOOL_FAILED"},
    {"Bin file too large: %s", Cause, "TOOL_FAILED"},
    {"Loaded Bin file: %s", Nothing, nullptr},
    {"Size = 0x%08x Bytes", Nothing, nullptr},
    {"Loading driver to SRAM.", Nothing, nullptr},
    {"Burning flash.", Nothing, nullptr},
    {".", Nothing, nullptr},
    {"Done!", Nothing, nullptr},
    {"Invalid device #: %d", Cause, "TOOL_FAILED"},
    {"Verifying data", Nothing, nullptr},
    {"%06x", Nothing, nullptr},
    {"Verification Successful", Nothing, nullptr},
    // A block that differed is read again: only the third difference is a failure.
    {"response[1] = %04x, checksum = %04x", Nothing, nullptr},
    {"Communication Error, Try again.....", Nothing, nullptr},
    {"Communication Error, response = %04x,%04x,%04x,Try again.....", Nothing, nullptr},
    {"Verification failure at %05x", Cause, "DATA_MISMATCH"},
    // The operation that failed: a loader that stopped answering, unless a line said otherwise.
    {"Unable to load %s.", Outcome, "NO_ANSWER"},
    {"Unable to program %s.", Outcome, "NO_ANSWER"},
    {"*** Verification failed.", Outcome, "NO_ANSWER"},
    {"*** Checksum verification failed.", Outcome, "NO_ANSWER"},
    {"Connection closed.", Nothing, nullptr},
    // The usage and the argument errors: the station gives the arguments, its status tells.
    {"%s", Nothing, nullptr},
    // Standard error, on a terminal. A port's or an image's own reason comes after its name;
    // the line on standard output says which.
    {"%s: %s", Nothing, nullptr},
    {"no answer from the loader on %s: pinged it for %u s in raw and yEnc framing; check that the "
     "board is powered and its loader running, that the cable is on this port, and that -b gives "
     "the loader's baud rate",
     Cause, "NO_ANSWER"},
    {"%s vanished: the adapter was unplugged or the line hung up", Cause, "PORT_VANISHED"},
    {"%s stopped taking data: a frame could not be written within 2 s", Cause, "NO_ANSWER"},
    {"%s; going on without a lock file", Nothing, nullptr},
    {"%s: more than %u bytes, the 8 MiB an image may hold", Cause, "TOOL_FAILED"},
    {"%s: %llu bytes, more than the 8 MiB (%u bytes) an image may hold", Cause, "TOOL_FAILED"},
    {"the loader did not take the block at offset 0x%06x", Cause, "NO_ANSWER"},
    {"the loader did not answer the announcement of the driver load", Cause, "NO_ANSWER"},
    {"the loader did not answer the announcement of device %d", Cause, "NO_ANSWER"},
    {"the loader refused to program device %d", Cause, "REFUSED"},
    {"device %d is not a flash device: use 1 to 5 or 7", Cause, "TOOL_FAILED"},
    {"the loader did not answer the read of device %d at offset 0x%06x", Cause, "NO_ANSWER"},
    {"the loader did not answer the announcement of the verification of device %d", Cause,
     "NO_ANSWER"},
    {"device %d does not hold %s: the block at 0x%05x differed on %d reads", Cause,
     "DATA_MISMATCH"},
    {"log.txt is held by another run in this directory; this run keeps no trace", Nothing,
     nullptr},
    {"log.txt: %s; this run keeps no trace", Nothing, nullptr},
    // xarveld-read, run for --backup: whatever stopped it, the backup is what failed.
    {"the port was lost at offset 0x%06x of device %d: check the adapter, the cable and the "
     "board's power",
     Cause, "BACKUP_FAILED"},
    {"the loader stopped answering at offset 0x%06x of device %d: check that the board is powered "
     "and its loader running, and that -b gives its baud rate",
     Cause, "BACKUP_FAILED"},
    {"the loader refused to read device %d: check -d and that -l loaded the driver the device "
     "needs",
     Cause, "BACKUP_FAILED"},
    {"the loader answered the read at offset 0x%06x of device %d short %d times: check the cable, "
     "or try a lower -b",
     Cause, "BACKUP_FAILED"},
    {"the KiB at offset 0x%06x of device %d read differently from the loader's own sum %d times: "
     "check the cable, or try a lower -b",
     Cause, "BACKUP_FAILED"},
    {"cannot open %s: %s", Cause, "BACKUP_FAILED"},
    {"cannot be read", Nothing, nullptr},  // the words after a file's name
    {"is empty", Nothing, nullptr},
    {"runs past the device's 8 MiB from --start", Nothing, nullptr},
    {"unable to load the driver %s", Cause, "BACKUP_FAILED"},
    {"no answer from the loader on %s in raw framing: check that the board is powered and its "
     "loader running, the cable, and -b; a loader already in yEnc framing needs -l",
     Cause, "BACKUP_FAILED"},
    {"%s exists: give --force to replace it", Cause, "BACKUP_FAILED"},
};

// The first code that lines of text name as says, or nullptr.
const char* first_code(std::string_view text, Says says) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find_first_of("\r\n", begin);
    if (end == std::string_view::npos) end = text.size();
    std::string line = plain_text(text.substr(begin, end - begin));
    begin = end + 1;
    for (const ToolMessage& message : TABLE) {
      if (message.says == Nothing || !line_holds_format(line, message.format)) continue;
      if (message.says == says) return message.code;
      break;  // a line is the first message it holds
    }
  }
  return nullptr;
}
}  // namespace

std::span<const ToolMessage> tool_messages() { return TABLE; }

bool line_holds_format(std::string_view line, std::string_view format) {
  std::size_t from = 0;
  std::string literal;
  // Each run of literal text must come after the one before; a conversion stands for any text.
  auto found = [&] {
    if (literal.empty()) return true;
    std::size_t at = line.find(literal, from);
    if (at == std::string_view::npos) return false;
    from = at + literal.size();
    literal.clear();
    return true;
  };
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      literal += format[i];
    } else if (i + 1 < format.size() && format[i + 1] == '%') {
      literal += '%';
      ++i;
    } else {
      if (!found()) return false;
      ++i;  // past flags, width, precision and length to the conversion's letter
      while (i < format.size() && std::strchr("-+ #0123456789.*hljztL", format[i]) != nullptr) ++i;
    }
  }
  return found();
}

std::string reason_code(const RunFacts& facts) {
  switch (facts.result) {
    case Result::Pass: return "";
    case Result::Timeout: return "TIMEOUT";
    case Result::Aborted: return "INTERRUPTED";
    case Result::Fail: break;
  }
  if (facts.backup_failed) return "BACKUP_FAILED";
  // The tool ends every failure it explains with 1; any other status is a crash, or a program
  // whose words the station does not know.
  if (facts.station_failed || facts.exit_status != 1) return "TOOL_FAILED";
  for (Says says : {Cause, Outcome}) {
    for (std::string_view text : {facts.output, facts.errors}) {
      if (const char* code = first_code(text, says)) return code;
    }
  }
  return "TOOL_FAILED";
}

}  // namespace xarveld::station
