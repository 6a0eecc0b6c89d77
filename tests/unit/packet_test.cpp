#include <algorithm>
#include <iterator>
#include <vector>

#include <gtest/gtest.h>

#include "link/packet.hpp"

namespace xarveld {
namespace {

std::vector<std::uint16_t> completed(Packet packet) {
  std::size_t words = packet_word_count(packet[0]);
  packet[words - 1] = packet_checksum(packet);
  return {packet.begin(), packet.begin() + static_cast<long>(words)};
}

TEST(Packet, FixedCommandsWithTheirChecksums) {
  using W = std::vector<std::uint16_t>;
  EXPECT_EQ(completed(build_ping()), (W{0x050E, 0x0000, 0xFAF2}));
  EXPECT_EQ(completed(build_disconnect()), (W{0x0503, 0x0000, 0xFAFD}));
  EXPECT_EQ(completed(build_enter_yenc()), (W{0x0504, 0x0000, 0xFAFC}));
  EXPECT_EQ(completed(build_read_next()), (W{0x0639, 0x0000, 0xF9C7}));
  // Each 32-bit value low word first.
  EXPECT_EQ(completed(build_begin(OP_PROGRAM_FLASH, 1, 0, 0x12345)),
            (W{0x5502, 0x0100, 0x0001, 0x0000, 0x0000, 0x2345, 0x0001, 0x86B7}));
  EXPECT_EQ(completed(build_begin(OP_LOAD_SRAM, 0, 0x00010800, 0xFFFF0000)),
            (W{0x5502, 0x0000, 0x0000, 0x0800, 0x0001, 0x0000, 0xFFFF, 0xA2FE}));
}

TEST(Packet, LoaderAnswersWithTheirChecksums) {
  using W = std::vector<std::uint16_t>;
  EXPECT_EQ(completed(build_acknowledgement(CMD_BEGIN)), (W{0x0502, 0x0000, 0xFAFE}));
  EXPECT_EQ(completed(build_acknowledgement(CMD_DATA)), (W{0x0501, 0x0000, 0xFAFF}));
  EXPECT_EQ(completed(build_refusal(CMD_BEGIN)), (W{0x0002, 0x0502, 0xFAFC}));
}

TEST(Packet, DataBlockIsSixteenLittleEndianWords) {
  std::uint8_t block[32];
  for (int i = 0; i < 32; ++i) block[i] = static_cast<std::uint8_t>(i * 7 + 1);
  std::vector<std::uint16_t> words = completed(build_data(block));
  ASSERT_EQ(words.size(), 18u);
  EXPECT_EQ(words[0], 0xF501);
  EXPECT_EQ(words[1], 0x0801);
  EXPECT_EQ(words[16], (block[31] << 8) | block[30]);
  std::uint16_t sum = 0;
  for (std::uint16_t w : words) sum = static_cast<std::uint16_t>(sum + w);
  EXPECT_EQ(sum, 0);
}

TEST(Packet, RawBytesOfPingAreLittleEndian) {
  Packet ping = build_ping();
  ping[2] = packet_checksum(ping);
  std::uint8_t bytes[PACKET_MAX_BYTES];
  ASSERT_EQ(packet_to_bytes(ping, 3, bytes), 6u);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + 6),
            (std::vector<std::uint8_t>{0x0E, 0x05, 0x00, 0x00, 0xF2, 0xFA}));
}

TEST(Packet, LengthNibbleAndValidity) {
  EXPECT_EQ(packet_word_count(0xF501), 18u);
  EXPECT_EQ(packet_word_count(0x0639), 3u);
  EXPECT_EQ(packet_command_code(0x5502), 0x502);

  Packet packet{0x1002, 0x1111, 0x2222};
  packet[3] = packet_checksum(packet);
  EXPECT_TRUE(packet_is_valid(packet));
  // Whatever the command code, words that do not add up to 0 are invalid.
  for (std::size_t i = 0; i < 4; ++i) {
    Packet broken = packet;
    broken[i] ^= 0x0100;
    EXPECT_FALSE(packet_is_valid(broken)) << i;
  }
  // Words past the packet's own length do not count.
  Packet longer = packet;
  longer[10] = 0x1234;
  EXPECT_TRUE(packet_is_valid(longer));
  // Three zero words are a valid packet, which is why an empty buffer can never mark a bad line.
  EXPECT_TRUE(packet_is_valid(Packet{}));
}

TEST(WordSum, SixteenBitLittleEndianSumsWrapAround) {
  const std::uint8_t bytes[] = {0x01, 0x02, 0xFF, 0xFF, 0x10, 0x00, 0xAA};
  EXPECT_EQ(word_sum(bytes, 0), 0);
  EXPECT_EQ(word_sum(bytes, 1), 0x0201);
  EXPECT_EQ(word_sum(bytes, 2), 0x0200);
  EXPECT_EQ(word_sum(bytes, 3), 0x0210);
  std::uint8_t erased[1024];
  std::fill(std::begin(erased), std::end(erased), 0xFF);
  EXPECT_EQ(word_sum(erased, 512), static_cast<std::uint16_t>(512 * 0xFFFF));
}

}  // namespace
}  // namespace xarveld
