#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link/clock.hpp"
#include "link/framing.hpp"
#include "link/receive.hpp"
#include "link/serial_port.hpp"
#include "link/transaction.hpp"
#include "tests/support/fake_link.hpp"
#include "tests/support/frames.hpp"
#include "tests/support/test_env.hpp"
#include "trace/trace_log.hpp"

namespace xarveld {
namespace {

using test::Bytes;
using test::response;

constexpr std::uint64_t SECOND = 1000 * TICKS_PER_MILLISECOND;

class Transaction : public test::LinkTest {
 protected:
  Packet resp{};
};

TEST_F(Transaction, SendPacketFillsTheChecksumRecordsAndFramesByMode) {
  trace_open();
  Packet ping = build_ping();
  send_packet(ping);
  EXPECT_EQ(ping[2], 0xFAF2);  // written into the caller's buffer
  set_link_mode(LinkMode::YEnc);
  send_packet(ping);
  ASSERT_EQ(fake::frames_written().size(), 2u);
  EXPECT_EQ(fake::frames_written()[0], (Bytes{0x0E, 0x05, 0x00, 0x00, 0xF2, 0xFA}));
  EXPECT_EQ(fake::frames_written()[1],
            (Bytes{'=', 'G', 0x38, 0x2F, 0x2A, 0x2A, 0x1C, 0x24, '\r'}));
  EXPECT_EQ(trace_text(), "\r\nCommand: 050e 0000 faf2 \r\nCommand: 050e 0000 faf2 ");
}

TEST_F(Transaction, UnansweredBeginIsSentThreeTimesAndCostsThreeWaits) {
  trace_open();
  Packet begin = build_begin(OP_PROGRAM_FLASH, 1, 0, 64);
  EXPECT_EQ(transact(begin, resp), 0);
  EXPECT_EQ(fake::frames_written().size(), 3u);
  // Each wait lasts until the clock is past its deadline: 20 s and one read interval.
  EXPECT_GE(elapsed(), 60 * SECOND);
  EXPECT_LE(elapsed(), 60 * SECOND + 3 * 20 * TICKS_PER_MILLISECOND);
  std::string trace = trace_text();
  EXPECT_EQ(trace.find("Response"), std::string::npos);
  EXPECT_EQ(trace, "\r\nCommand: 5502 0100 0001 0000 0000 0040 0000 a9bd "
                   "\r\nCommand: 5502 0100 0001 0000 0000 0040 0000 a9bd "
                   "\r\nCommand: 5502 0100 0001 0000 0000 0040 0000 a9bd ");
}

TEST_F(Transaction, DataIsNeverSentTwice) {
  std::uint8_t block[32] = {};
  Packet data = build_data(block);
  // Unanswered: one send, one full wait.
  EXPECT_EQ(transact(data, resp), 0);
  EXPECT_EQ(fake::frames_written().size(), 1u);
  EXPECT_GE(elapsed(), 20 * SECOND);
  EXPECT_LE(elapsed(), 20 * SECOND + 20 * TICKS_PER_MILLISECOND);
  // Answered with a bad checksum: one send, no waiting.
  std::uint64_t before = fake::now();
  fake::queue_read(test::raw_frame(test::with_bad_checksum(response(0x0501))));
  EXPECT_EQ(transact(data, resp), 0);
  EXPECT_EQ(fake::frames_written().size(), 2u);
  EXPECT_EQ(fake::now(), before);
}

TEST_F(Transaction, InvalidResponseEndsTheWaitAndTheCommandIsSentAgain) {
  trace_open();
  int sends = 0;
  fake::set_peer([&](const Bytes&) {
    ++sends;
    Packet answer = response(0x0502);
    fake::queue_read(test::raw_frame(sends == 1 ? test::with_bad_checksum(answer) : answer));
  });
  Packet begin = build_begin(OP_VERIFY_DATA, 2, 0, 32);
  EXPECT_EQ(transact(begin, resp), 1);
  EXPECT_EQ(sends, 2);
  EXPECT_EQ(elapsed(), 0u);
  EXPECT_EQ(resp[0], 0x0502);
  // Both sends are recorded; the response only once, after its command.
  std::string trace = trace_text();
  std::string command = "\r\nCommand: 5502 0200 0002 0000 0000 0020 0000 a8dc ";
  EXPECT_EQ(trace, command + command + "\r\nResponse: 0502 0000 fafe \r\n\r\n");
}

TEST_F(Transaction, AnInvalidYencLineCountsAsAnInvalidResponse) {
  set_link_mode(LinkMode::YEnc);
  int sends = 0;
  fake::set_peer([&](const Bytes&) {
    ++sends;
    if (sends == 1) fake::queue_read({'=', 'H', '8', '\r'});
    if (sends == 2) fake::queue_read({'=', 'G', '\r'});
    if (sends == 3) fake::queue_read(test::yenc_frame(response(0x050E, {0x050E})));
  });
  Packet ping = build_ping();
  EXPECT_EQ(transact(ping, resp), 1);
  EXPECT_EQ(sends, 3);
  EXPECT_EQ(elapsed(), 0u);
}

TEST_F(Transaction, ResponseInPiecesIsAcceptedWithinTheDeadlineOnly) {
  Bytes answer = test::raw_frame(response(0x0639, {0x1234}));
  auto script_in_pieces = [&](int silent_reads_between) {
    for (std::uint8_t byte : answer) {
      fake::queue_read({byte});
      for (int i = 0; i < silent_reads_between; ++i) fake::queue_read({});
    }
  };
  Packet read_next = build_read_next();
  // Five pieces 3.8 s apart: the last arrives before the 20-s deadline.
  script_in_pieces(190);
  EXPECT_EQ(transact(read_next, resp), 1);
  EXPECT_EQ(resp[1], 0x1234);
  EXPECT_EQ(fake::frames_written().size(), 1u);
  // Pieces 4.2 s apart: the wait ends with the answer incomplete; it is sent again, and the
  // leftover bytes stay in the accumulator as the head of the next packet.
  fake::reset();
  script_in_pieces(210);
  EXPECT_EQ(transact(read_next, resp), 1);
  EXPECT_GT(fake::frames_written().size(), 1u);
}

TEST_F(Transaction, EnterYencAndDisconnectDrainAndSucceed) {
  trace_open();
  fake::set_peer([](const Bytes&) { fake::queue_read(test::raw_frame(response(0x0504))); });
  Packet enter = build_enter_yenc();
  EXPECT_EQ(transact(enter, resp), 1);
  EXPECT_EQ(fake::frames_written().size(), 1u);
  EXPECT_GE(elapsed(), 20 * SECOND);
  // What arrived was thrown away, not assembled: the accumulator is still empty.
  fake::set_peer(nullptr);
  fake::queue_read({0x0E, 0x05, 0x00, 0x00, 0xF2, 0xFA});
  EXPECT_EQ(receive_packet(&resp), RECEIVE_COMPLETE);
  EXPECT_EQ(resp[0], 0x050E);

  // The shortest time-out: the drain lasts until the millisecond clock moves. Bytes that keep
  // arriving before it does are read; the first empty read moves it.
  set_reply_timeout(1);
  fake::queue_read({1, 2, 3});
  fake::queue_read({4, 5});
  std::size_t reads_before = fake::reads_made();
  Packet disconnect = build_disconnect();
  EXPECT_EQ(transact(disconnect, resp), 1);
  EXPECT_EQ(fake::reads_made() - reads_before, 3u);
  EXPECT_EQ(trace_text(), "\r\nCommand: 0504 0000 fafc \r\nCommand: 0503 0000 fafd ");
}

TEST_F(Transaction, APortThatIsGoneStaysGoneAndEveryWaitEndsAtOnce) {
  trace_open();
  // The line is pulled in the middle of a wait: one message, the port released, the wait over.
  fake::queue_read({});
  fake::set_reads_fail(true);
  Packet begin = build_begin(OP_PROGRAM_FLASH, 1, 0, 64);
  EXPECT_EQ(transact(begin, resp), 0);
  EXPECT_FALSE(serial_is_open());
  EXPECT_EQ(fake::failed_reads_made(), 1u);
  // Later exchanges, drains included, fail at once and send and record nothing.
  Packet ping = build_ping();
  Packet disconnect = build_disconnect();
  EXPECT_EQ(transact(ping, resp), 0);
  EXPECT_EQ(transact(disconnect, resp), 0);
  EXPECT_EQ(fake::frames_written().size(), 1u);
  EXPECT_EQ(fake::failed_reads_made(), 1u);
  EXPECT_EQ(elapsed(), SERIAL_READ_INTERVAL_MS * TICKS_PER_MILLISECOND);
  EXPECT_EQ(console.text(), "Serial Read Error = 0\r\n");
  EXPECT_EQ(trace_text(), "\r\nCommand: 5502 0100 0001 0000 0000 0040 0000 a9bd ");

  // A frame the line will not take, or one the device went away under: the port is released as
  // well, what it still held unsent is discarded, and nobody waits for an answer.
  for (bool gone : {false, true}) {
    fake::reset();
    (gone ? fake::set_writes_gone : fake::set_writes_stuck)(true);
    std::uint64_t before = fake::now();
    EXPECT_EQ(transact(begin, resp), 0);
    EXPECT_FALSE(serial_is_open());
    EXPECT_EQ(fake::output_discards_made(), 1u);
    EXPECT_EQ(fake::frames_written().size(), 1u);
    EXPECT_EQ(fake::reads_made(), 0u);
    EXPECT_EQ(fake::now(), before);
  }
}

TEST_F(Transaction, DeadlineCarriesTheThirtyTwoBitTimeoutIntoSixtyFourBits) {
  // A clock far beyond 32 bits: the deadline must not wrap.
  fake::advance_clock_ms(500000000000ull);
  start = fake::now();
  set_reply_timeout(0xFFFFFFFFu);
  std::uint8_t block[32] = {};
  Packet data = build_data(block);
  EXPECT_EQ(transact(data, resp), 0);
  EXPECT_GE(elapsed(), 0xFFFFFFFFull);
}

}  // namespace
}  // namespace xarveld
