// Packet words, checksum, builders and the little-endian byte form.
// Input: up to 36 bytes of packet (zero-padded to 18 words), then builder arguments.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "link/packet.hpp"
#include "tests/fuzz/fuzz_check.hpp"

namespace {

using namespace xarveld;

// Reads little-endian values off the input, zero once it runs out.
struct Input {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t used = 0;
  std::uint8_t byte() { return used < size ? data[used++] : 0; }
  std::uint16_t word() { return static_cast<std::uint16_t>(byte() | byte() << 8); }
  std::uint32_t dword() { return word() | static_cast<std::uint32_t>(word()) << 16; }
};

// Whether the first N+3 words add up to 0 modulo 2^16: the acceptance rule, worked out here
// without the library's checksum.
bool words_sum_to_zero(const Packet& words) {
  std::size_t count = static_cast<std::size_t>(words[0] >> 12) + 3;
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum += words[i];
  return (sum & 0xFFFF) == 0;
}

Packet with_checksum(Packet words) {
  words[packet_word_count(words[0]) - 1] = packet_checksum(words);
  return words;
}

void check_validation(const Packet& words) {
  std::size_t count = packet_word_count(words[0]);
  FUZZ_CHECK(count >= 3 && count <= PACKET_MAX_WORDS);
  FUZZ_CHECK(packet_is_valid(words) == words_sum_to_zero(words));

  Packet fixed = with_checksum(words);
  FUZZ_CHECK(packet_is_valid(fixed));
  FUZZ_CHECK(words_sum_to_zero(fixed));
  // Only the checksum word may change, and a valid packet keeps its own checksum.
  for (std::size_t i = 0; i < PACKET_MAX_WORDS; ++i) {
    if (i != count - 1) FUZZ_CHECK(fixed[i] == words[i]);
  }
  if (packet_is_valid(words)) FUZZ_CHECK(fixed == words);

  // Words past the packet are not the checksum's business.
  Packet tail_changed = words;
  for (std::size_t i = count - 1; i < PACKET_MAX_WORDS; ++i) {
    tail_changed[i] = static_cast<std::uint16_t>(~tail_changed[i]);
  }
  FUZZ_CHECK(packet_checksum(tail_changed) == packet_checksum(words));

  // One word off by a non-zero amount breaks a valid packet.
  Packet broken = fixed;
  std::size_t which = words[1] % count;
  broken[which] = static_cast<std::uint16_t>(broken[which] + (words[2] | 1));
  if (which != 0) FUZZ_CHECK(!packet_is_valid(broken));
}

void check_byte_form(const Packet& words, std::size_t word_count) {
  std::uint8_t bytes[PACKET_MAX_BYTES + 1];
  bytes[2 * word_count] = 0xA5;  // a guard just past what may be written
  FUZZ_CHECK(packet_to_bytes(words, word_count, bytes) == 2 * word_count);
  FUZZ_CHECK(bytes[2 * word_count] == 0xA5);
  for (std::size_t i = 0; i < word_count; ++i) {
    FUZZ_CHECK(bytes[2 * i] == (words[i] & 0xFF));
    FUZZ_CHECK(bytes[2 * i + 1] == (words[i] >> 8));
  }
  Packet back{};
  words_from_bytes(bytes, word_count, back.data());
  for (std::size_t i = 0; i < PACKET_MAX_WORDS; ++i) {
    FUZZ_CHECK(back[i] == (i < word_count ? words[i] : 0));
  }
}

void check_builders(Input& in) {
  std::uint16_t operation = in.word();
  std::uint16_t device = in.word();
  std::uint32_t start = in.dword();
  std::uint32_t limit = in.dword();
  Packet begin = with_checksum(build_begin(operation, device, start, limit));
  FUZZ_CHECK(packet_is_valid(begin));
  FUZZ_CHECK(begin[0] == 0x5502 && packet_word_count(begin[0]) == 8);
  FUZZ_CHECK(begin[1] == operation && begin[2] == device);
  FUZZ_CHECK((begin[3] | static_cast<std::uint32_t>(begin[4]) << 16) == start);
  FUZZ_CHECK((begin[5] | static_cast<std::uint32_t>(begin[6]) << 16) == limit);

  std::uint8_t block[DATA_BLOCK_BYTES];
  for (std::uint8_t& b : block) b = in.byte();
  Packet data = with_checksum(build_data(block));
  FUZZ_CHECK(packet_is_valid(data));
  FUZZ_CHECK(data[0] == 0xF501 && packet_word_count(data[0]) == PACKET_MAX_WORDS);
  std::uint8_t bytes[PACKET_MAX_BYTES];
  packet_to_bytes(data, PACKET_MAX_WORDS, bytes);
  FUZZ_CHECK(std::memcmp(bytes + 2, block, DATA_BLOCK_BYTES) == 0);

  struct Bare {
    Packet packet;
    std::uint16_t header;
    std::uint16_t checksum;
  };
  const Bare bare[] = {
      {build_disconnect(), 0x0503, 0xFAFD}, {build_enter_yenc(), 0x0504, 0xFAFC},
      {build_ping(), 0x050E, 0xFAF2},       {build_read_next(), 0x0639, 0xF9C7},
  };
  for (const Bare& b : bare) {
    Packet p = with_checksum(b.packet);
    FUZZ_CHECK(packet_is_valid(p));
    FUZZ_CHECK(p[0] == b.header && p[1] == 0 && p[2] == b.checksum);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in{data, size};
  Packet words{};
  for (std::uint16_t& w : words) w = in.word();
  check_validation(words);
  check_byte_form(words, in.byte() % (PACKET_MAX_WORDS + 1));
  check_builders(in);
  return 0;
}
