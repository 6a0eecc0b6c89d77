#include "tests/support/frames.hpp"

#include "link/framing.hpp"

namespace xarveld::test {

Packet with_checksum(Packet packet) {
  packet[packet_word_count(packet[0]) - 1] = packet_checksum(packet);
  return packet;
}

Packet with_bad_checksum(Packet packet) {
  packet = with_checksum(packet);
  packet[packet_word_count(packet[0]) - 1] += 1;
  return packet;
}

Bytes raw_frame(const Packet& complete_packet) {
  std::uint8_t bytes[PACKET_MAX_BYTES];
  std::size_t length =
      packet_to_bytes(complete_packet, packet_word_count(complete_packet[0]), bytes);
  return Bytes(bytes, bytes + length);
}

Bytes yenc_frame(const Packet& complete_packet) {
  Bytes bytes = raw_frame(complete_packet);
  std::uint8_t frame[YENC_FRAME_CAPACITY];
  std::size_t length = yenc_encode_frame(frame, bytes.data(), bytes.size());
  return Bytes(frame, frame + length);
}

Packet command_in_frame(const Bytes& frame) {
  Packet packet{};
  if (!frame.empty() && frame[0] == YENC_ESCAPE) {
    std::uint8_t decoded[256];
    std::size_t length = yenc_decode(decoded, frame.data() + 2, frame.size() - 3);
    words_from_bytes(decoded, length / 2, packet.data());
  } else {
    words_from_bytes(frame.data(), frame.size() / 2, packet.data());
  }
  return packet;
}

Packet response(std::uint16_t header, std::vector<std::uint16_t> payload) {
  Packet packet{};
  packet[0] = header;
  for (std::size_t i = 0; i < payload.size() && i + 1 < PACKET_MAX_WORDS; ++i) {
    packet[i + 1] = payload[i];
  }
  return with_checksum(packet);
}

}  // namespace xarveld::test
