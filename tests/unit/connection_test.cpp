#include <string>

#include <gtest/gtest.h>

#include "common/console.hpp"
#include "link/clock.hpp"
#include "link/connection.hpp"
#include "link/framing.hpp"
#include "link/receive.hpp"
#include "link/transaction.hpp"
#include "tests/support/fake_link.hpp"
#include "tests/support/frames.hpp"
#include "tests/support/test_env.hpp"

namespace xarveld {
namespace {

using test::Bytes;
using test::response;

constexpr std::uint64_t SECOND = 1000 * TICKS_PER_MILLISECOND;

bool is_yenc(const Bytes& frame) { return !frame.empty() && frame[0] == '='; }

// A loader that answers CMD_PING in the framings it understands, with ping_word in word 1 of
// its raw answer.
struct PingingLoader {
  bool raw = true;
  bool yenc = true;
  std::uint16_t ping_word = 0x050E;
};

void answer_pings(const PingingLoader& loader) {
  fake::set_peer([loader](const Bytes& frame) {
    Packet command = test::command_in_frame(frame);
    if (command[0] != CMD_PING) return;
    Packet answer = response(0x050E, {loader.ping_word});
    if (is_yenc(frame) && loader.yenc) fake::queue_read(test::yenc_frame(answer));
    if (!is_yenc(frame) && loader.raw) fake::queue_read(test::raw_frame(answer));
  });
}

class Connection : public test::LinkTest {};

TEST_F(Connection, RawLoaderIsDetectedAndSwitchedToYenc) {
  answer_pings({});
  connect_target();
  EXPECT_EQ(console.text(), "RAW mode detected.\r\n");
  const auto& frames = fake::frames_written();
  ASSERT_EQ(frames.size(), 2u);
  // CMD_ENTER_YENC goes out in the framing just detected, and drains the line for 1 s.
  EXPECT_EQ(frames[1], (Bytes{0x04, 0x05, 0x00, 0x00, 0xFC, 0xFA}));
  EXPECT_GE(elapsed(), 1 * SECOND);
  EXPECT_LT(elapsed(), 2 * SECOND);
  EXPECT_EQ(link_mode(), LinkMode::YEnc);
  EXPECT_EQ(reply_timeout(), 200000000u);
}

TEST_F(Connection, YencOnlyLoaderIsFoundAfterThreeRawAttempts) {
  answer_pings({.raw = false});
  connect_target();
  EXPECT_EQ(console.text(), "yEnc encoding detected.\r\n");
  const auto& frames = fake::frames_written();
  ASSERT_EQ(frames.size(), 5u);
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(is_yenc(frames[i])) << i;
  EXPECT_TRUE(is_yenc(frames[3]));
  EXPECT_EQ(test::command_in_frame(frames[4])[0], CMD_ENTER_YENC);
  EXPECT_TRUE(is_yenc(frames[4]));
  // Three raw waits of 1 s each, then the 1-s drain of CMD_ENTER_YENC.
  EXPECT_GE(elapsed(), 4 * SECOND);
  EXPECT_LT(elapsed(), 4 * SECOND + 100 * TICKS_PER_MILLISECOND);
  EXPECT_EQ(link_mode(), LinkMode::YEnc);
}

TEST_F(Connection, RawAnswerWithAnotherCodeIsNotRaw) {
  answer_pings({.ping_word = 0x0123});
  EXPECT_EQ(detect_link_mode(), DETECTED_YENC);
  ASSERT_EQ(fake::frames_written().size(), 2u);
  EXPECT_TRUE(is_yenc(fake::frames_written()[1]));
  // Only the low 12 bits count.
  fake::reset();
  answer_pings({.yenc = false, .ping_word = 0xF50E});
  EXPECT_EQ(detect_link_mode(), DETECTED_RAW);
}

TEST_F(Connection, SilentTargetCostsSixSecondsPerDetectionPass) {
  set_reply_timeout(REPLY_TIMEOUT_PROBE);
  EXPECT_EQ(detect_link_mode(), DETECTED_NONE);
  EXPECT_EQ(link_mode(), LinkMode::YEnc);
  EXPECT_EQ(fake::frames_written().size(), 6u);
  EXPECT_GE(elapsed(), 6 * SECOND);
  EXPECT_LT(elapsed(), 6 * SECOND + 200 * TICKS_PER_MILLISECOND);
}

TEST_F(Connection, SilentTargetEndsTheProcessAfterTwoPasses) {
  EXPECT_EXIT(
      {
        console_set_stream(stderr);
        connect_target();
      },
      ::testing::ExitedWithCode(1), "^\r\nConnection timed out!\r\n$");
}

TEST_F(Connection, RawLeftoversCostTheFirstYencAttempt) {
  int yenc_pings = 0;
  fake::set_peer([&](const Bytes& frame) {
    if (!is_yenc(frame)) {
      // Half an answer, never completed.
      if (fake::frames_written().size() == 1) fake::queue_read({0x0E, 0x05, 0x00});
      return;
    }
    ++yenc_pings;
    fake::queue_read(test::yenc_frame(response(0x050E, {0x050E})));
  });
  set_reply_timeout(REPLY_TIMEOUT_PROBE);
  EXPECT_EQ(detect_link_mode(), DETECTED_YENC);
  // The first yEnc line began with the raw leftovers and was invalid.
  EXPECT_EQ(yenc_pings, 2);
}

TEST_F(Connection, DisconnectMakesOneReadOnASilentLine) {
  disconnect_target();
  ASSERT_EQ(fake::frames_written().size(), 1u);
  EXPECT_EQ(fake::frames_written()[0], (Bytes{0x03, 0x05, 0x00, 0x00, 0xFD, 0xFA}));
  EXPECT_EQ(fake::reads_made(), 1u);
  EXPECT_EQ(reply_timeout(), 1u);
}

}  // namespace
}  // namespace xarveld
