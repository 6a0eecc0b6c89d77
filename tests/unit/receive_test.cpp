#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link/clock.hpp"
#include "link/framing.hpp"
#include "link/receive.hpp"
#include "link/serial_port.hpp"
#include "link/stale_input.hpp"
#include "link/transaction.hpp"
#include "tests/support/fake_link.hpp"
#include "tests/support/frames.hpp"
#include "tests/support/test_env.hpp"
#include "trace/trace_log.hpp"

namespace xarveld {
namespace {

using fake::Bytes;

class Receive : public test::LinkTest {};

TEST_F(Receive, DrainingReadThrowsBytesAwayAndLeavesTheAccumulator) {
  Bytes ping = {0x0E, 0x05, 0x00, 0x00, 0xF2, 0xFA};
  Packet out{};
  fake::queue_read(Bytes(ping.begin(), ping.begin() + 2));
  fake::queue_read({0xDE, 0xAD, 0xBE, 0xEF});
  fake::queue_read(Bytes(ping.begin() + 2, ping.end()));
  EXPECT_EQ(receive_packet(&out), RECEIVE_PENDING);
  EXPECT_EQ(receive_packet(nullptr), RECEIVE_NOTHING);
  EXPECT_EQ(receive_packet(&out), RECEIVE_COMPLETE);
  EXPECT_TRUE(packet_is_valid(out));
  EXPECT_EQ(out[0], 0x050E);
}

TEST_F(Receive, AFailedReadReleasesThePortAndIsReportedOnlyOutsideADrain) {
  Packet out{};
  fake::queue_read({});
  EXPECT_EQ(receive_packet(&out), RECEIVE_NOTHING);  // an empty read is no failure
  fake::queue_failed_read();
  EXPECT_EQ(receive_packet(&out), RECEIVE_READ_FAILED);
  EXPECT_FALSE(serial_is_open());
  EXPECT_EQ(receive_packet(&out), RECEIVE_NO_PORT);
  EXPECT_EQ(console.text(), "Serial Read Error = 0\r\n");
  // A drain says nothing, and releases the port all the same.
  fake::set_port_open(true);
  fake::queue_failed_read();
  EXPECT_EQ(receive_packet(nullptr), RECEIVE_READ_FAILED);
  EXPECT_FALSE(serial_is_open());
  EXPECT_EQ(console.text(), "Serial Read Error = 0\r\n");
}

TEST_F(Receive, StaleInputIsDiscardedUntilTheLineFallsQuiet) {
  constexpr std::uint64_t MS = TICKS_PER_MILLISECOND;
  // A quiet line costs one wait of 50 ms.
  discard_stale_input();
  EXPECT_EQ(elapsed(), 50 * MS);
  EXPECT_EQ(fake::reads_made(), 1u);
  // Bytes 20 ms after the open and 40 ms after those: quiet 50 ms after the last.
  start = fake::now();
  fake::queue_read_after(20, {0x01, 0x02});
  fake::queue_read_after(40, {0x03});
  discard_stale_input();
  EXPECT_EQ(elapsed(), 110 * MS);
  // A line that never falls quiet is given 500 ms; what comes after is the run's.
  start = fake::now();
  for (int i = 0; i < 30; ++i) fake::queue_read_after(40, {0xAA});
  discard_stale_input();
  EXPECT_EQ(elapsed(), 500 * MS);
  std::uint8_t next[8];
  std::size_t count = 0;
  EXPECT_EQ(serial_read(next, sizeof next, &count), 1);
  EXPECT_EQ(count, 1u);
}

TEST_F(Receive, ClosedPortReadsNothing) {
  fake::set_port_open(false);
  Packet out{};
  EXPECT_EQ(receive_packet(&out), RECEIVE_NO_PORT);
  EXPECT_EQ(fake::reads_made(), 0u);
}

TEST_F(Receive, YencLinesLeaveTheirRecordsInTheTrace) {
  trace_open();
  set_link_mode(LinkMode::YEnc);
  Packet out{};
  Bytes good = test::yenc_frame(test::with_checksum(build_ping()));
  fake::queue_read(good);
  fake::queue_read({'=', 'Q', 0x38, '\r'});
  fake::queue_read({'h', 'i', '\n', '\r'});
  EXPECT_EQ(receive_packet(&out), RECEIVE_COMPLETE);
  EXPECT_EQ(receive_packet(&out), RECEIVE_INVALID_LINE);
  EXPECT_EQ(receive_packet(&out), RECEIVE_INVALID_LINE);
  // The line as received, its CR unchanged (so a following record's "\n" gives CR CR LF); a line
  // feed inside a line becomes CR LF like every other.
  EXPECT_EQ(trace_text(),
            "\r\nMessage: " + std::string(good.begin(), good.end()) +
                "\r\nMessage: =Q8\r"
                "Invalid response channel. =Q8\r\r\n"
                "Invalid response. hi\r\n\r\r\n");
}

TEST_F(Receive, RawPacketsLeaveNoRecord) {
  trace_open();
  Packet out{};
  fake::queue_read({0x0E, 0x05, 0x00, 0x00, 0xF2, 0xFA});
  EXPECT_EQ(receive_packet(&out), RECEIVE_COMPLETE);
  EXPECT_EQ(trace_text(), "");
}

}  // namespace
}  // namespace xarveld
