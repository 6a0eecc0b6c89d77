#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link/framing.hpp"

namespace xarveld {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes encode(const Bytes& bytes) {
  std::uint8_t frame[YENC_FRAME_CAPACITY];
  std::size_t length = yenc_encode_frame(frame, bytes.data(), bytes.size());
  EXPECT_EQ(frame[length], 0) << "zero byte after the CR";
  return Bytes(frame, frame + length);
}

Bytes packet_bytes(Packet packet) {
  std::size_t words = packet_word_count(packet[0]);
  packet[words - 1] = packet_checksum(packet);
  std::uint8_t bytes[PACKET_MAX_BYTES];
  return Bytes(bytes, bytes + packet_to_bytes(packet, words, bytes));
}

TEST(YencFrame, PingGoldenFrame) {
  EXPECT_EQ(encode({0x0E, 0x05, 0x00, 0x00, 0xF2, 0xFA}),
            (Bytes{'=', 'G', 0x38, 0x2F, 0x2A, 0x2A, 0x1C, 0x24, '\r'}));
}

TEST(YencFrame, TheFiveEscapes) {
  EXPECT_EQ(encode({0xD6}), (Bytes{'=', 'G', 0x3D, 0x40, '\r'}));
  EXPECT_EQ(encode({0xE3}), (Bytes{'=', 'G', 0x3D, 0x4D, '\r'}));
  EXPECT_EQ(encode({0x13}), (Bytes{'=', 'G', 0x3D, 0x7D, '\r'}));
  EXPECT_EQ(encode({0xDF}), (Bytes{'=', 'G', 0x3D, 0x49, '\r'}));
  EXPECT_EQ(encode({0xE0}), (Bytes{'=', 'G', 0x3D, 0x4A, '\r'}));
}

TEST(YencFrame, DecodeInvertsEncodeForEveryByteValue) {
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
  for (std::size_t start = 0; start < 256; start += 36) {
    Bytes piece(all.begin() + static_cast<long>(start),
                all.begin() + static_cast<long>(std::min<std::size_t>(start + 36, 256)));
    Bytes frame = encode(piece);
    std::uint8_t out[256];
    std::size_t length = yenc_decode(out, frame.data() + 2, frame.size() - 3);
    EXPECT_EQ(Bytes(out, out + length), piece);
  }
  // The longest frame of an 18-word packet: every byte escaped would be 2 + 72 + 1.
  Bytes worst(PACKET_MAX_BYTES, 0xD6);
  EXPECT_EQ(encode(worst).size(), 75u);
}

TEST(YencFrame, EscapeInTheLastCountedPositionPairsWithTheNextByte) {
  // "=" counted last, paired with the byte after the counted ones.
  const std::uint8_t in[] = {0x38, '=', 0x40 + 0x2A};
  std::uint8_t out[4];
  ASSERT_EQ(yenc_decode(out, in, 2), 2u);
  EXPECT_EQ(out[0], 0x0E);
  EXPECT_EQ(out[1], 0x00);
}

TEST(RawAssembly, PacketSplitOverManyPiecesThenCompleted) {
  ReceiveAccumulator accumulator;
  Packet out{};
  Bytes ping = packet_bytes(build_ping());
  for (std::size_t i = 0; i + 1 < ping.size(); ++i) {
    EXPECT_EQ(assemble_raw(accumulator, &ping[i], 1, out), RECEIVE_PENDING) << i;
  }
  ASSERT_EQ(assemble_raw(accumulator, &ping.back(), 1, out), RECEIVE_COMPLETE);
  EXPECT_EQ(out[0], 0x050E);
  EXPECT_EQ(out[2], 0xFAF2);
  EXPECT_EQ(accumulator.count, 0u);
}

TEST(RawAssembly, TwoPacketsInOnePieceKeepOnlyTheFirst) {
  ReceiveAccumulator accumulator;
  Packet out{};
  Bytes both = packet_bytes(build_ping());
  Bytes second = packet_bytes(build_read_next());
  both.insert(both.end(), second.begin(), second.end());
  ASSERT_EQ(assemble_raw(accumulator, both.data(), both.size(), out), RECEIVE_COMPLETE);
  EXPECT_EQ(out[0], 0x050E);
  EXPECT_EQ(accumulator.count, 0u);
  // The second packet was discarded with the rest: the next piece starts afresh.
  Bytes third = packet_bytes(build_disconnect());
  ASSERT_EQ(assemble_raw(accumulator, third.data(), third.size(), out), RECEIVE_COMPLETE);
  EXPECT_EQ(out[0], 0x0503);
}

TEST(RawAssembly, FloodCompletesThePendingPacketAndIsDiscarded) {
  ReceiveAccumulator accumulator;
  Packet out{};
  // A header announcing 18 words whose bytes come one short, then a flood of a whole read.
  Bytes bytes(35, 0x00);
  bytes[1] = 0xF0;
  EXPECT_EQ(assemble_raw(accumulator, bytes.data(), bytes.size(), out), RECEIVE_PENDING);
  Bytes flood(1024, 0xAA);
  EXPECT_EQ(assemble_raw(accumulator, flood.data(), flood.size(), out), RECEIVE_COMPLETE);
  EXPECT_EQ(out[17], 0xAA00);
  EXPECT_EQ(accumulator.count, 0u);
}

class YencAssembly : public ::testing::Test {
 protected:
  int feed(const Bytes& bytes) {
    return assemble_yenc(accumulator, bytes.data(), bytes.size(), out, line);
  }
  ReceiveAccumulator accumulator;
  Packet out{};
  CompletedLine line;
};

TEST_F(YencAssembly, LineSplitAcrossPiecesIsAssembled) {
  Bytes frame = encode(packet_bytes(build_ping()));
  for (std::size_t i = 0; i + 1 < frame.size(); ++i) {
    EXPECT_EQ(feed({frame[i]}), RECEIVE_PENDING) << i;
  }
  ASSERT_EQ(feed({'\r', 'x', 'y'}), RECEIVE_COMPLETE);
  EXPECT_EQ(line.kind, LineKind::Message);
  EXPECT_EQ(std::string(line.text.data()), std::string(frame.begin(), frame.end()));
  EXPECT_EQ(out[0], 0x050E);
  EXPECT_EQ(out[2], 0xFAF2);
  // The bytes after the CR were discarded with the line.
  EXPECT_EQ(accumulator.count, 0u);
}

TEST_F(YencAssembly, LinesThatHoldNoPacketAreInvalid) {
  EXPECT_EQ(feed({'=', 'H', 0x38, 0x2F, '\r'}), RECEIVE_INVALID_LINE);
  EXPECT_EQ(line.kind, LineKind::WrongChannel);
  EXPECT_EQ(feed({'O', 'K', '\r'}), RECEIVE_INVALID_LINE);
  EXPECT_EQ(line.kind, LineKind::NotAMessage);
  EXPECT_EQ(feed({'\r'}), RECEIVE_INVALID_LINE);
  EXPECT_EQ(line.kind, LineKind::NotAMessage);
  EXPECT_EQ(feed({'=', '\r'}), RECEIVE_INVALID_LINE);
  EXPECT_EQ(line.kind, LineKind::WrongChannel);
}

TEST_F(YencAssembly, ShortLinesNeverRepeatAnEarlierPacket) {
  ASSERT_EQ(feed(encode(packet_bytes(build_ping()))), RECEIVE_COMPLETE);
  // The bare "=G" line decodes nothing.
  EXPECT_EQ(feed({'=', 'G', '\r'}), RECEIVE_INVALID_LINE);
  EXPECT_EQ(line.kind, LineKind::Message);
  // A header announcing 3 words (6 bytes) followed by only 4 bytes.
  Bytes full = encode(packet_bytes(build_read_next()));
  Bytes cut(full.begin(), full.begin() + 6);
  cut.push_back('\r');
  EXPECT_EQ(feed(cut), RECEIVE_INVALID_LINE);
  // One decoded byte cannot even hold a header.
  EXPECT_EQ(feed({'=', 'G', 0x38, '\r'}), RECEIVE_INVALID_LINE);
}

TEST_F(YencAssembly, LongLineIsCutTo258BytesAndStillEndedByItsCr) {
  Bytes long_line = {'=', 'G'};
  long_line.resize(300, 0x2A + 1);  // decodes to 0x01 bytes
  long_line.push_back('\r');
  EXPECT_EQ(feed(long_line), RECEIVE_COMPLETE);
  EXPECT_EQ(line.length, 258u);
  EXPECT_EQ(std::string(line.text.data()).size(), 258u);
  // The header 0x0101 announces 3 words; the decode took bytes 2..256.
  EXPECT_EQ(out[0], 0x0101);
  EXPECT_EQ(accumulator.count, 0u);
}

TEST_F(YencAssembly, ZeroByteInsideALineEndsItsText) {
  ASSERT_EQ(feed({'=', 'G', 0x38, 0x00, 0x2A, '\r'}), RECEIVE_INVALID_LINE);
  EXPECT_EQ(std::string(line.text.data()), "=G8");
  EXPECT_EQ(line.length, 6u);
}

TEST_F(YencAssembly, RawLeftoversBecomeTheHeadOfTheNextLine) {
  // Half a raw answer stays in the accumulator when the framing changes to yEnc.
  Bytes ping = packet_bytes(build_ping());
  Packet raw_out{};
  ASSERT_EQ(assemble_raw(accumulator, ping.data(), 3, raw_out), RECEIVE_PENDING);
  EXPECT_EQ(feed(encode(packet_bytes(build_ping()))), RECEIVE_INVALID_LINE);
  EXPECT_EQ(line.kind, LineKind::NotAMessage);
  EXPECT_EQ(line.length, 3u + 9u);
  // The next line is clean.
  EXPECT_EQ(feed(encode(packet_bytes(build_ping()))), RECEIVE_COMPLETE);
}

}  // namespace
}  // namespace xarveld
