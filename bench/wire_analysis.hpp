#pragma once
// Reading the simulator's wire log: what went onto the line in each operation, how long that
// operation held the line, and how long a perfect stop-and-wait client would have needed for the
// same bytes. Pure functions of the log's text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace xarveld::bench {

// One line of the wire log: "<ms> <rx|tx> <raw|yenc|junk> <words as %04x | bytes as %02x>".
struct WireFrame {
  double milliseconds = 0;  // rx: when the command was handed over; tx: when the first byte left
  bool sent = false;        // tx: an answer of the simulator; rx: a command of the client
  bool junk = false;
  std::vector<std::uint16_t> words;  // the packet (not junk)
  std::size_t line_bytes = 0;        // bytes the frame took on the line
};

// False for a line that is not a wire record.
bool parse_wire_line(const std::string& line, WireFrame& frame);

// Every record of a log (lines that are not records are skipped).
std::vector<WireFrame> parse_wire_log(const std::string& text);

// One operation: from a CMD_BEGIN with a new selector up to the next command that is neither
// CMD_DATA, CMD_READ_NEXT nor a CMD_BEGIN with the same selector (a resync stays in it).
struct Phase {
  std::uint16_t selector = 0;
  std::size_t commands = 0;  // commands received, resends and resyncs included
  std::size_t line_bytes = 0;
  double first_byte_ms = 0;  // when its first command began to cross the line
  double last_byte_ms = 0;   // when the last byte of its last frame was through
  std::size_t last_answer_bytes = 0;  // the last frame's bytes when it is an answer, else 0
  // For each command after the first: how long the line stood idle between the end of the answer
  // before it and its own first byte. The client's turnaround, with the line's latency both ways.
  std::vector<double> turnaround_ms;
};

// byte_ms: the time one byte takes on the line (10 bits at the baud rate); 0 when unpaced.
std::vector<Phase> find_phases(const std::vector<WireFrame>& frames, double byte_ms);

// The time of a perfect stop-and-wait client: every byte back to back, no turnaround.
inline double ideal_seconds(std::size_t line_bytes, std::uint32_t baud) {
  return static_cast<double>(line_bytes) * 10.0 / baud;
}

}  // namespace xarveld::bench
