#include "bench/wire_analysis.hpp"

#include <cstdlib>
#include <sstream>

#include "link/framing.hpp"
#include "link/packet.hpp"

namespace xarveld::bench {

namespace {
// The log keeps a packet's words, not its frame: the frame is rebuilt with the same encoder both
// sides use, which gives the same escapes and so the same length.
std::size_t yenc_line_bytes(const std::vector<std::uint16_t>& words) {
  Packet packet{};
  for (std::size_t i = 0; i < words.size() && i < packet.size(); ++i) packet[i] = words[i];
  std::uint8_t bytes[PACKET_MAX_BYTES];
  std::size_t length = packet_to_bytes(packet, words.size(), bytes);
  std::uint8_t frame[YENC_FRAME_CAPACITY];
  return yenc_encode_frame(frame, bytes, length);
}

bool parse_hex(const std::string& field, std::size_t digits, unsigned long& value) {
  if (field.size() != digits) return false;
  char* end = nullptr;
  value = std::strtoul(field.c_str(), &end, 16);
  return end == field.c_str() + field.size();
}

bool continues_phase(const Phase& phase, const WireFrame& command) {
  std::uint16_t code = packet_command_code(command.words[0]);
  if (code == CMD_DATA || code == CMD_READ_NEXT) return true;
  return code == CMD_BEGIN && command.words.size() > 1 && command.words[1] == phase.selector;
}

// When the frame's last byte was through: an answer is logged as its first byte leaves, and each
// byte leaves once it has crossed the line; a command is logged once it has arrived whole.
double frame_end_ms(const WireFrame& frame, double byte_ms) {
  if (!frame.sent || frame.line_bytes == 0) return frame.milliseconds;
  return frame.milliseconds + static_cast<double>(frame.line_bytes - 1) * byte_ms;
}
}  // namespace

bool parse_wire_line(const std::string& line, WireFrame& frame) {
  std::istringstream fields(line);
  std::string time, direction, kind;
  if (!(fields >> time >> direction >> kind)) return false;
  char* end = nullptr;
  frame = WireFrame{};
  frame.milliseconds = std::strtod(time.c_str(), &end);
  if (end != time.c_str() + time.size()) return false;
  if (direction != "rx" && direction != "tx") return false;
  frame.sent = direction == "tx";
  if (kind != "raw" && kind != "yenc" && kind != "junk") return false;
  frame.junk = kind == "junk";

  std::string field;
  while (fields >> field) {
    unsigned long value = 0;
    if (!parse_hex(field, frame.junk ? 2 : 4, value)) return false;
    if (frame.junk) {
      ++frame.line_bytes;
    } else {
      frame.words.push_back(static_cast<std::uint16_t>(value));
    }
  }
  if (frame.junk) return true;
  if (frame.words.empty() || frame.words.size() > PACKET_MAX_WORDS) return false;
  frame.line_bytes = kind == "raw" ? 2 * frame.words.size() : yenc_line_bytes(frame.words);
  return true;
}

std::vector<WireFrame> parse_wire_log(const std::string& text) {
  std::vector<WireFrame> frames;
  std::istringstream lines(text);
  std::string line;
  WireFrame frame;
  while (std::getline(lines, line)) {
    if (parse_wire_line(line, frame)) frames.push_back(frame);
  }
  return frames;
}

std::vector<Phase> find_phases(const std::vector<WireFrame>& frames, double byte_ms) {
  std::vector<Phase> phases;
  bool open = false;
  double answer_end_ms = -1;  // the end of the phase's last answer, while no command followed it
  for (const WireFrame& frame : frames) {
    bool command = !frame.sent && !frame.junk;
    double start_ms = frame.milliseconds - static_cast<double>(frame.line_bytes) * byte_ms;
    if (command && !(open && continues_phase(phases.back(), frame))) {
      open = packet_command_code(frame.words[0]) == CMD_BEGIN && frame.words.size() > 1;
      answer_end_ms = -1;
      if (open) {
        Phase phase;
        phase.selector = frame.words[1];
        phase.first_byte_ms = start_ms;
        phases.push_back(phase);
      }
    }
    if (!open) continue;
    Phase& phase = phases.back();
    if (command) {
      ++phase.commands;
      if (answer_end_ms >= 0) phase.turnaround_ms.push_back(start_ms - answer_end_ms);
      answer_end_ms = -1;
    }
    phase.line_bytes += frame.line_bytes;
    phase.last_byte_ms = frame_end_ms(frame, byte_ms);
    phase.last_answer_bytes = frame.sent && !frame.junk ? frame.line_bytes : 0;
    if (frame.sent && !frame.junk) answer_end_ms = phase.last_byte_ms;
  }
  return phases;
}

}  // namespace xarveld::bench
