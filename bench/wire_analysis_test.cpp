#include "bench/wire_analysis.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace xarveld::bench {
namespace {

WireFrame parsed(const std::string& line) {
  WireFrame frame;
  EXPECT_TRUE(parse_wire_line(line, frame)) << line;
  return frame;
}

TEST(WireLine, RawFrameTakesTwoBytesPerWord) {
  WireFrame frame = parsed("304.460 rx raw 050e 0000 faf2");
  EXPECT_DOUBLE_EQ(frame.milliseconds, 304.46);
  EXPECT_FALSE(frame.sent);
  EXPECT_FALSE(frame.junk);
  EXPECT_EQ(frame.words, (std::vector<std::uint16_t>{0x050e, 0x0000, 0xfaf2}));
  EXPECT_EQ(frame.line_bytes, 6u);
}

TEST(WireLine, YencFrameCountsPrefixAndLineEnd) {
  // '=' 'G' 38 2F 2A 2A 1C 24 CR
  WireFrame frame = parsed("1.000 tx yenc 050e 0000 faf2");
  EXPECT_TRUE(frame.sent);
  EXPECT_EQ(frame.line_bytes, 9u);
}

TEST(WireLine, YencFrameCountsEveryEscapePair) {
  // Bytes d6 e3 df e0 13 00: the first five encode to 00, 0D, 09, 0A and '=' and are escaped.
  WireFrame frame = parsed("1.000 rx yenc e3d6 e0df 0013");
  EXPECT_EQ(frame.line_bytes, 2u + 5 * 2 + 1 + 1);
}

TEST(WireLine, JunkCountsItsBytes) {
  WireFrame frame = parsed("12.500 rx junk 0e 05 00");
  EXPECT_TRUE(frame.junk);
  EXPECT_TRUE(frame.words.empty());
  EXPECT_EQ(frame.line_bytes, 3u);
}

TEST(WireLine, RejectsWhatIsNoRecord) {
  const char* lines[] = {"",
                         "hello",
                         "1.0 rx raw",
                         "1.0 rx raw 12345",
                         "1.0 up raw 0001",
                         "1.0 rx text 0001",
                         "x rx raw 0001",
                         "1.0 rx junk 0e5",
                         "1.0 rx raw 0001 zz01",
                         "1.0 rx raw 0 1 2 3 4 5 6 7 8 9 a b c d e f 10 11 12"};
  for (const char* line : lines) {
    WireFrame frame;
    EXPECT_FALSE(parse_wire_line(line, frame)) << line;
  }
}

const char* const DATA_WORDS = " 0001 0002 0003 0004 0005 0006 0007 0008 0009 000a 000b 000c 000d "
                               "000e 000f 0010 0b30\n";

std::string session_log() {
  std::string log;
  log += "10.000 rx raw 0504 0000 fafc\n";
  log += "10.500 tx raw 0504 0000 fafc\n";
  log += "20.000 rx yenc 5502 0100 0005 0000 0000 0040 0000 a4f9\n";
  log += "20.300 tx yenc 0502 0000 fafe\n";
  log += std::string("21.000 rx yenc f501") + DATA_WORDS;
  log += "21.400 tx yenc 0501 0000 faff\n";
  log += "22.000 rx junk 01 02\n";
  log += "23.000 rx yenc 5502 0100 0005 0020 0000 0040 0000 a4d9\n";  // resync: same operation
  log += "23.300 tx yenc 0502 0000 fafe\n";
  log += std::string("24.000 rx yenc f501") + DATA_WORDS;
  log += "24.400 tx yenc 0501 0000 faff\n";
  log += "30.000 rx yenc 5502 0200 0005 0000 0000 0040 0000 a3f9\n";  // a new operation
  log += "30.300 tx yenc 0502 0000 fafe\n";
  log += "31.000 rx yenc 0639 0000 f9c7\n";
  log += std::string("31.500 tx yenc f639") + DATA_WORDS;
  log += "40.000 rx yenc 0503 0000 fafd\n";
  log += "40.200 tx yenc 0503 0000 fafd\n";
  return log;
}

std::size_t bytes_of(const std::vector<WireFrame>& frames, std::size_t first, std::size_t last) {
  std::size_t sum = 0;
  for (std::size_t i = first; i <= last; ++i) sum += frames[i].line_bytes;
  return sum;
}

TEST(WirePhases, SplitAtNewOperationsAndKeepResyncsAndJunk) {
  std::vector<WireFrame> frames = parse_wire_log("a line that is no record\n" + session_log());
  ASSERT_EQ(frames.size(), 17u);
  const double byte_ms = 0.1;
  std::vector<Phase> phases = find_phases(frames, byte_ms);
  ASSERT_EQ(phases.size(), 2u);

  EXPECT_EQ(phases[0].selector, 0x0100);
  EXPECT_EQ(phases[0].commands, 4u);
  EXPECT_EQ(phases[0].line_bytes, bytes_of(frames, 2, 10));
  EXPECT_DOUBLE_EQ(phases[0].first_byte_ms,
                   20.0 - static_cast<double>(frames[2].line_bytes) * byte_ms);
  // The last answer is logged as its first byte leaves; its last byte is through n-1 bytes later.
  EXPECT_EQ(frames[10].line_bytes, 9u);
  EXPECT_DOUBLE_EQ(phases[0].last_byte_ms, 24.4 + 8 * byte_ms);
  EXPECT_EQ(phases[0].last_answer_bytes, 9u);

  // Each command after the first waited for the answer before it; the junk changes nothing.
  ASSERT_EQ(phases[0].turnaround_ms.size(), 3u);
  EXPECT_DOUBLE_EQ(phases[0].turnaround_ms[0],
                   21.0 - static_cast<double>(frames[4].line_bytes) * byte_ms - (20.3 + 0.8));
  EXPECT_DOUBLE_EQ(phases[0].turnaround_ms[1],
                   23.0 - static_cast<double>(frames[7].line_bytes) * byte_ms - (21.4 + 0.8));

  EXPECT_EQ(phases[1].selector, 0x0200);
  EXPECT_EQ(phases[1].turnaround_ms.size(), 1u);
  EXPECT_EQ(phases[1].commands, 2u);
  EXPECT_EQ(phases[1].line_bytes, bytes_of(frames, 11, 14));
  EXPECT_DOUBLE_EQ(phases[1].last_byte_ms,
                   31.5 + static_cast<double>(frames[14].line_bytes - 1) * byte_ms);
}

TEST(WirePhases, AnUnansweredLastCommandEndsThePhase) {
  std::string log = "5.000 rx raw 5502 0100 0005 0000 0000 0040 0000 a4f9\n"
                    "5.300 tx raw 0502 0000 fafe\n"
                    "6.000 rx raw f501" + std::string(DATA_WORDS);
  std::vector<Phase> phases = find_phases(parse_wire_log(log), 0.1);
  ASSERT_EQ(phases.size(), 1u);
  EXPECT_EQ(phases[0].commands, 2u);
  EXPECT_EQ(phases[0].line_bytes, 16u + 6 + 36);
  EXPECT_DOUBLE_EQ(phases[0].first_byte_ms, 5.0 - 1.6);
  EXPECT_DOUBLE_EQ(phases[0].last_byte_ms, 6.0);
  EXPECT_EQ(phases[0].last_answer_bytes, 0u);
  ASSERT_EQ(phases[0].turnaround_ms.size(), 1u);
  EXPECT_DOUBLE_EQ(phases[0].turnaround_ms[0], 6.0 - 3.6 - (5.3 + 0.5));
}

TEST(WirePhases, NothingBeforeTheFirstBegin) {
  std::string log = "1.000 rx raw 050e 0000 faf2\n"
                    "1.100 tx raw 050e 050e f5e4\n"
                    "2.000 rx junk 00 01\n";
  EXPECT_TRUE(find_phases(parse_wire_log(log), 0.1).empty());
}

TEST(WireIdeal, TenBitsPerByte) {
  EXPECT_DOUBLE_EQ(ideal_seconds(11520, 115200), 1.0);
  EXPECT_DOUBLE_EQ(ideal_seconds(0, 115200), 0.0);
}

}  // namespace
}  // namespace xarveld::bench
