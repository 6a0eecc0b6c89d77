// Pacing, fragmenting and adapter arithmetic, and the wire log's line format.
#include <gtest/gtest.h>

#include "sim/line_timing.hpp"
#include "sim/wire_log.hpp"

namespace xarveld::sim {
namespace {

TEST(LineTiming, FragmentSizesCoverTheFrameWithoutEmptyPieces) {
  struct Case {
    std::size_t length;
    std::uint32_t pieces;
    std::vector<std::size_t> sizes;
  };
  const Case cases[] = {
      {6, 1, {6}}, {6, 3, {2, 2, 2}}, {7, 3, {3, 2, 2}}, {3, 5, {1, 1, 1}}, {6, 0, {6}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fragment_sizes(c.length, c.pieces), c.sizes) << c.length << "/" << c.pieces;
  }
}

TEST(LineTiming, PacedSendingNeverOutrunsTheLine) {
  const std::int64_t byte_ns = byte_time_ns(115200);
  EXPECT_EQ(byte_ns, 86806);  // 10 bits at 115200 baud, rounded up
  std::int64_t line_free = 0;
  std::int64_t next_due = 0;
  std::size_t sent = 0;
  const std::int64_t ready = 1000000;
  // Whatever the moments the loop wakes at, the bytes out by then fit the line's pace.
  for (std::int64_t now : {0LL, 1000000LL, 1050000LL, 1100000LL, 1500000LL, 9000000LL}) {
    sent += bytes_due(now, ready, byte_ns, 75 - sent, line_free, next_due);
    std::int64_t capacity = now < ready ? 0 : (now - ready) / byte_ns;
    EXPECT_LE(static_cast<std::int64_t>(sent), capacity) << now;
    if (sent < 75) {
      EXPECT_GT(next_due, now);
    }
  }
  EXPECT_EQ(sent, 75u);
  EXPECT_EQ(line_free, ready + 75 * byte_ns);
}

TEST(LineTiming, UnpacedBytesGoOnceReady) {
  std::int64_t line_free = 0;
  std::int64_t next_due = 0;
  EXPECT_EQ(bytes_due(10, 20, 0, 6, line_free, next_due), 0u);
  EXPECT_EQ(next_due, 20);
  EXPECT_EQ(bytes_due(20, 20, 0, 6, line_free, next_due), 6u);
}

TEST(LineTiming, ReceivedBytesArriveNoFasterThanTheLine) {
  const std::int64_t byte_ns = byte_time_ns(115200);
  std::int64_t line_free = 0;
  EXPECT_EQ(arrival_time(1000, byte_ns, 36, line_free), 1000 + 36 * byte_ns);
  // A second read right behind the first queues behind it on the line.
  EXPECT_EQ(arrival_time(2000, byte_ns, 6, line_free), 1000 + 42 * byte_ns);
  std::int64_t unpaced = 0;
  EXPECT_EQ(arrival_time(5000, 0, 36, unpaced), 5000);
}

TEST(LineTiming, AdapterPassesOnAFullBufferAtOnceAndTheRestWhenItsTimerRunsOut) {
  const std::int64_t ms = 1000000;
  const std::int64_t at_19200 = byte_time_ns(19200);  // 520834 ns
  struct Case {
    std::int64_t latency_ns, byte_ns;
    std::size_t count;
    std::size_t passed, held;
    std::int64_t first_held_ns;  // arrival of the first byte still held
  };
  const Case cases[] = {
      {0, 0, 9, 9, 0, 0},                   // no adapter
      {16 * ms, 0, 9, 0, 9, 0},             // a short answer waits for the timer
      {16 * ms, 0, 75, 62, 13, 0},          // a full buffer goes at once
      {16 * ms, at_19200, 36, 31, 5, 31 * at_19200},  // the timer ran out before byte 31 came
      {1 * ms, at_19200, 6, 4, 2, 4 * at_19200},
  };
  for (const Case& c : cases) {
    AdapterBuffer buffer;
    EXPECT_EQ(adapter_receive(buffer, c.count, 0, c.byte_ns, c.latency_ns), c.passed) << c.count;
    EXPECT_EQ(buffer.held, c.held) << c.count;
    if (c.held == 0) continue;
    EXPECT_EQ(buffer.first_ns, c.first_held_ns) << c.count;
    std::int64_t deadline = adapter_deadline(buffer, c.latency_ns);
    EXPECT_EQ(adapter_expire(buffer, deadline - 1, c.latency_ns), 0u) << c.count;
    EXPECT_EQ(adapter_expire(buffer, deadline, c.latency_ns), c.held) << c.count;
    EXPECT_EQ(buffer.held, 0u);
  }
}

TEST(WireLog, LinesHaveTheDocumentedFormat) {
  WireRecord rx_raw{false, RecordKind::Raw, {0x050E, 0x0000, 0xFAF2}, {}};
  WireRecord tx_yenc{true, RecordKind::YEnc, {0x0639, 0x1234, 0xC993}, {}};
  WireRecord junk{false, RecordKind::Junk, {}, {0x01, 0xAB, 0x0D}};
  EXPECT_EQ(wire_line(0.0, rx_raw), "0.000 rx raw 050e 0000 faf2\n");
  EXPECT_EQ(wire_line(1234.5678, tx_yenc), "1234.568 tx yenc 0639 1234 c993\n");
  EXPECT_EQ(wire_line(12.0, junk), "12.000 rx junk 01 ab 0d\n");
}

}  // namespace
}  // namespace xarveld::sim
