#include "link/packet.hpp"

namespace xarveld {

namespace {
// A command whose only payload is a single zero word (N = 0): the header is the code itself.
Packet build_bare(std::uint16_t code) {
  Packet packet{};
  packet[0] = code;
  return packet;
}
}  // namespace

std::uint16_t packet_checksum(const Packet& words) {
  std::size_t covered = packet_word_count(words[0]) - 1;
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i < covered; ++i) sum = static_cast<std::uint16_t>(sum + words[i]);
  return static_cast<std::uint16_t>(-sum);
}

bool packet_is_valid(const Packet& words) {
  return packet_checksum(words) == words[packet_word_count(words[0]) - 1];
}

Packet build_begin(std::uint16_t operation, std::uint16_t device, std::uint32_t start,
                   std::uint32_t limit) {
  Packet packet{};
  packet[0] = 0x5000 | CMD_BEGIN;
  packet[1] = operation;
  packet[2] = device;
  packet[3] = static_cast<std::uint16_t>(start);
  packet[4] = static_cast<std::uint16_t>(start >> 16);
  packet[5] = static_cast<std::uint16_t>(limit);
  packet[6] = static_cast<std::uint16_t>(limit >> 16);
  return packet;
}

Packet build_data(const std::uint8_t* block) {
  Packet packet{};
  packet[0] = 0xF000 | CMD_DATA;
  words_from_bytes(block, DATA_BLOCK_BYTES / 2, &packet[1]);
  return packet;
}

Packet build_disconnect() { return build_bare(CMD_DISCONNECT); }
Packet build_enter_yenc() { return build_bare(CMD_ENTER_YENC); }
Packet build_ping() { return build_bare(CMD_PING); }
Packet build_read_next() { return build_bare(CMD_READ_NEXT); }

Packet build_acknowledgement(std::uint16_t code) { return build_bare(code); }

Packet build_refusal(std::uint16_t code) {
  Packet packet = build_bare(RESPONSE_REFUSED);
  packet[1] = code;
  return packet;
}

std::uint16_t word_sum(const std::uint8_t* bytes, std::size_t count) {
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i < count; ++i) {
    sum = static_cast<std::uint16_t>(sum + (bytes[2 * i] | bytes[2 * i + 1] << 8));
  }
  return sum;
}

std::size_t packet_to_bytes(const Packet& words, std::size_t word_count, std::uint8_t* bytes) {
  for (std::size_t i = 0; i < word_count; ++i) {
    bytes[2 * i] = static_cast<std::uint8_t>(words[i]);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(words[i] >> 8);
  }
  return 2 * word_count;
}

void words_from_bytes(const std::uint8_t* bytes, std::size_t word_count, std::uint16_t* words) {
  for (std::size_t i = 0; i < word_count; ++i) {
    words[i] = static_cast<std::uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
}

}  // namespace xarveld
