#include "sim/receive.hpp"

#include <array>

namespace xarveld::sim {

namespace {
void report_junk(std::vector<std::uint8_t>& bytes, std::vector<ReceivedFrame>& frames) {
  if (bytes.empty()) return;
  ReceivedFrame frame;
  frame.bytes = std::move(bytes);
  frames.push_back(std::move(frame));
  bytes.clear();
}

// A whole line, '=' to CR: its packet when the line is on channel 'G' and decodes to exactly one
// packet whose checksum holds.
bool decode_line(const std::vector<std::uint8_t>& line, Packet& packet) {
  if (line.size() < 3 || line.size() > LINE_CAPACITY || line[1] != YENC_CHANNEL) return false;
  // The CR stays after the counted bytes, where yenc_decode may look for an escape's partner.
  std::size_t encoded = line.size() - 3;
  std::array<std::uint8_t, LINE_CAPACITY> decoded{};
  std::size_t length = yenc_decode(decoded.data(), &line[2], encoded);
  if (length < 2 || length > PACKET_MAX_BYTES) return false;
  std::uint16_t header = static_cast<std::uint16_t>(decoded[0] | decoded[1] << 8);
  std::size_t words = packet_word_count(header);
  if (length != 2 * words) return false;
  packet = Packet{};
  words_from_bytes(decoded.data(), words, packet.data());
  return packet_is_valid(packet);
}

void start_line(LineReceiver& receiver) {
  receiver.in_line = true;
  receiver.after_escape = false;
  receiver.line.assign(1, YENC_ESCAPE);
}
}  // namespace

void raw_receive(RawReceiver& receiver, const std::uint8_t* data, std::size_t length,
                 std::vector<ReceivedFrame>& frames) {
  // What the accumulator will have seen, kept to report the bytes a completed packet discards.
  std::vector<std::uint8_t> seen(receiver.accumulator.bytes.begin(),
                                 receiver.accumulator.bytes.begin() +
                                     static_cast<std::ptrdiff_t>(receiver.accumulator.count));
  seen.insert(seen.end(), data, data + length);

  Packet packet{};
  if (assemble_raw(receiver.accumulator, data, length, packet) != RECEIVE_COMPLETE) return;
  std::size_t packet_bytes = 2 * packet_word_count(packet[0]);
  std::vector<std::uint8_t> rest(seen.begin() + static_cast<std::ptrdiff_t>(packet_bytes),
                                 seen.end());
  if (packet_is_valid(packet)) {
    ReceivedFrame frame;
    frame.kind = FrameKind::Packet;
    frame.packet = packet;
    frames.push_back(std::move(frame));
    report_junk(rest, frames);
  } else {
    report_junk(seen, frames);
  }
}

std::size_t line_receive(LineReceiver& receiver, const std::uint8_t* data, std::size_t length,
                         std::vector<ReceivedFrame>& frames) {
  for (std::size_t i = 0; i < length; ++i) {
    std::uint8_t byte = data[i];
    if (!receiver.in_line) {
      if (byte == YENC_ESCAPE) {
        report_junk(receiver.skipped, frames);
        start_line(receiver);
      } else {
        receiver.skipped.push_back(byte);
      }
      continue;
    }

    if (byte == LINE_END) {
      receiver.line.push_back(byte);
      receiver.in_line = false;
      ReceivedFrame frame;
      if (decode_line(receiver.line, frame.packet)) {
        frame.kind = FrameKind::Packet;
        frames.push_back(std::move(frame));
        receiver.line.clear();
        return i + 1;
      }
      report_junk(receiver.line, frames);
      continue;
    }

    // A second '=' where the channel belongs, or "=G" inside a line: a new line begins here.
    bool restarts = (receiver.line.size() == 1 && byte == YENC_ESCAPE) ||
                    (receiver.after_escape && byte == YENC_CHANNEL);
    if (restarts) {
      if (receiver.after_escape) receiver.line.pop_back();
      report_junk(receiver.line, frames);
      start_line(receiver);
      if (byte == YENC_CHANNEL) receiver.line.push_back(byte);
      continue;
    }

    receiver.after_escape = !receiver.after_escape && byte == YENC_ESCAPE &&
                            receiver.line.size() >= 2;
    // An overlong line keeps its head only; it can no longer hold a packet.
    if (receiver.line.size() < LINE_CAPACITY + 1) receiver.line.push_back(byte);
  }
  report_junk(receiver.skipped, frames);
  return length;
}

}  // namespace xarveld::sim
