#include "station/attempt/progress.hpp"

#include <algorithm>

namespace xarveld::station {

namespace {
constexpr std::string_view DRIVER_START = "Loading driver to SRAM.";
constexpr std::string_view BURN_START = "Burning flash.";
constexpr std::string_view VERIFY_START = "Verifying data";
constexpr std::string_view DONE = "Done!";
constexpr std::string_view VERIFIED = "Verification Successful";
constexpr std::string_view CLOSED = "Connection closed.";
constexpr std::string_view NOT_OPENED = "Could not open serial port!";
constexpr std::string_view TIMED_OUT = "Connection timed out!";
constexpr std::string_view READ_ERROR = "Serial Read Error = ";
constexpr std::size_t OFFSET_DIGITS = 6;
constexpr std::uint64_t KIB = 1024;
constexpr std::uint64_t DRIVER_SKIPPED = 2048;

bool is_hex_offset(const std::string& text) {
  if (text.size() != OFFSET_DIGITS) return false;
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
  });
}

void enter(Progress& progress, Phase phase) {
  progress.phase = phase;
  progress.marks = 0;
  progress.phase_done = false;
  progress.verify_offset = 0;
  progress.verify_offset_seen = false;
}

// A line ends at CR or LF: what it said decides the states that need the whole line.
void end_line(Progress& progress) {
  const std::string& line = progress.line;
  if (line == CLOSED) progress.phase = Phase::Closed;
  if (line == VERIFIED) progress.phase_done = true;
  if (line.find(NOT_OPENED) != std::string::npos) progress.port_not_opened = true;
  if (line.find(TIMED_OUT) != std::string::npos) progress.connection_timed_out = true;
  if (line.find(READ_ERROR) != std::string::npos) progress.read_error = true;
  if (!line.empty()) progress.last_line = line;
  if (!line.empty() && !(progress.phase == Phase::Verifying && is_hex_offset(line))) {
    progress.last_words = line;
  }
  progress.line.clear();
}

// A byte within a line: the marks that come without a line end are seen as they come.
void add_byte(Progress& progress, char c) {
  std::string& line = progress.line;
  bool loading = progress.phase == Phase::Driver || progress.phase == Phase::Burning;
  std::string_view start = progress.phase == Phase::Driver ? DRIVER_START : BURN_START;
  if (c == '.' && loading && !progress.phase_done && line.size() >= start.size() &&
      line.compare(0, start.size(), start) == 0) {
    ++progress.marks;
    progress.block_sent = true;
  }
  line += c;
  if (line == DRIVER_START) enter(progress, Phase::Driver);
  if (line == BURN_START) enter(progress, Phase::Burning);
  if (line == VERIFY_START) enter(progress, Phase::Verifying);
  if (loading && line.size() >= DONE.size() &&
      line.compare(line.size() - DONE.size(), DONE.size(), DONE) == 0) {
    progress.phase_done = true;
  }
  if (progress.phase == Phase::Verifying && is_hex_offset(line)) {
    progress.verify_offset = static_cast<std::uint32_t>(std::stoul(line, nullptr, 16));
    progress.verify_offset_seen = true;
    progress.block_sent = true;
  }
}
}  // namespace

void progress_feed(Progress& progress, std::string_view bytes) {
  for (char c : bytes) {
    if (c == '\r' || c == '\n') {
      end_line(progress);
    } else {
      add_byte(progress, c);
    }
  }
}

namespace {
// A loading phase's line, "Burning flash." with its marks and maybe "Done!", split: the phase's
// text, whether it ended, and what the tool said after it. False for any other line.
bool split_marks(const std::string& line, std::string_view& start, bool& done,
                 std::string& after) {
  for (std::string_view phase : {DRIVER_START, BURN_START}) {
    if (line.size() < phase.size() || line.compare(0, phase.size(), phase) != 0) continue;
    std::size_t rest = std::min(line.find_first_not_of('.', phase.size()), line.size());
    done = line.compare(rest, DONE.size(), DONE) == 0;
    if (done) rest += DONE.size();
    start = phase;
    after = line.substr(rest);
    return true;
  }
  return false;
}
}  // namespace

std::string progress_last_line(const Progress& progress) {
  std::string line = progress.line.empty() ? progress.last_line : progress.line;
  // "Unable to load %s." follows the driver's marks on their line: the message is what is left
  // once the phase's own text and its marks are taken off.
  std::string_view start;
  bool done = false;
  std::string after;
  if (split_marks(line, start, done, after) && !after.empty()) return after;
  return line;
}

std::string progress_message(const Progress& progress) {
  const std::string& current = progress.line;
  bool offset = progress.phase == Phase::Verifying && is_hex_offset(current);
  std::string line = current.empty() || offset ? progress.last_words : current;
  std::string_view start;
  bool done = false;
  std::string after;
  if (!split_marks(line, start, done, after)) return line;
  if (!after.empty()) return after;
  return std::string(start) + (done ? " Done!" : "");
}

std::uint64_t progress_bytes_total(const Progress& progress, std::uint64_t driver_size,
                                   std::uint64_t image_size) {
  switch (progress.phase) {
    case Phase::Driver:
      return driver_size > DRIVER_SKIPPED ? driver_size - DRIVER_SKIPPED : 0;
    case Phase::Burning:
    case Phase::Verifying:
      return image_size;
    default:
      return 0;
  }
}

std::uint64_t progress_bytes_done(const Progress& progress, std::uint64_t driver_size,
                                  std::uint64_t image_size) {
  std::uint64_t total = progress_bytes_total(progress, driver_size, image_size);
  if (progress.phase_done) return total;
  std::uint64_t done = 0;
  if (progress.phase == Phase::Driver || progress.phase == Phase::Burning) {
    done = progress.marks > 0 ? (progress.marks - 1) * KIB : 0;
  } else if (progress.phase == Phase::Verifying) {
    done = progress.verify_offset;
  }
  return std::min(done, total);
}

const char* phase_name(Phase phase) {
  switch (phase) {
    case Phase::Connecting: return "connecting";
    case Phase::Driver: return "driver";
    case Phase::Burning: return "burning";
    case Phase::Verifying: return "verifying";
    case Phase::Closed: return "closing";
  }
  return "";
}

}  // namespace xarveld::station
