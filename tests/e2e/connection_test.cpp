// Finding the target: the tool against simulated loaders that answer in raw framing, only in
// yEnc framing, with the wrong code, or not at all.
#include <string>

#include "link/packet.hpp"
#include "tests/e2e/support/e2e_fixture.hpp"

namespace xarveld::e2e {
namespace {

class Detection : public SimE2eTest {
 protected:
  void SetUp() override {
    SimE2eTest::SetUp();
    if (IsSkipped()) return;
    write_file(path("drv.bin"), random_bytes(2048, 21));
  }
  const std::string opened = "Serial port opened...\r\n\r\nLoaded Bin file: drv.bin\r\n"
                             "Size = 0x00000800 Bytes\r\n";
  std::size_t junk_received() {
    std::size_t junk = 0;
    for (const WireFrame& frame : wire_log()) {
      junk += frame.direction == "rx" && frame.framing == "junk";
    }
    return junk;
  }
  // The trace of n pings sent, each answered (with the given answer record) or not.
  static std::string pings(int n, const std::string& answer = "") {
    std::string trace;
    for (int i = 0; i < n; ++i) trace += "\r\nCommand: 050e 0000 faf2 " + answer;
    return trace;
  }
};

// What was waiting on the line before the run (here a boot banner) is no answer: one ping.
TEST_F(Detection, RawTargetIsFoundWithOnePingWhateverWasWaitingOnTheLine) {
  start_sim({"--banner", "U-Boot 2026.01 (Dec 08 2026 - 02:25:55 +0000)"});
  Finished run = run_tool({"-l", "drv.bin", "dev.bin"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, opened + "RAW mode detected.\r\n\r\nLoading driver to SRAM.Done!"
                              "Connection closed.\r\n");
  EXPECT_EQ(finish_sim(), 0);
  std::vector<WireFrame> pings = received(CMD_PING);
  ASSERT_EQ(pings.size(), 1u);
  EXPECT_EQ(pings[0].framing, "raw");
  EXPECT_EQ(count_of(read_file(path("log.txt")), "Command: 050e"), 1u);
  // CMD_ENTER_YENC in raw framing; everything after it in yEnc.
  std::vector<WireFrame> enter = received(CMD_ENTER_YENC);
  ASSERT_EQ(enter.size(), 1u);
  EXPECT_EQ(enter[0].framing, "raw");
  for (std::uint16_t code : {CMD_BEGIN, CMD_DISCONNECT}) {
    for (const WireFrame& frame : received(code)) EXPECT_EQ(frame.framing, "yenc");
  }
}

TEST_F(Detection, YencOnlyTargetIsFoundAfterThreeRawAttempts) {
  start_sim({"--yenc-only"});
  Finished run = run_tool({"-l", "drv.bin", "dev.bin"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, opened + "yEnc encoding detected.\r\n\r\nLoading driver to SRAM.Done!"
                              "Connection closed.\r\n");
  EXPECT_EQ(finish_sim(), 0);
  // Three raw pings were noise to the target, one yEnc ping found it.
  EXPECT_EQ(junk_received(), 3u);
  EXPECT_EQ(received(CMD_PING).size(), 1u);
  // Three one-second waits before the answered ping.
  ASSERT_FALSE(received(CMD_PING).empty());
  EXPECT_GE(received(CMD_PING)[0].milliseconds, 2900.0);
}

TEST_F(Detection, RawAnswerWithAnotherCodeIsNotTakenForRaw) {
  // The loader answers raw pings with 0x0123 and does not understand yEnc framing: each pass
  // costs one answered raw ping and three yEnc attempts, and the tool gives up after two.
  start_sim({"--ping-code", "0123"});
  Finished run = run_tool({"-l", "drv.bin", "dev.bin"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, opened + "\r\nConnection timed out!\r\n");
  finish_sim(0);
  // Each pass: the raw ping answered with the wrong code, then three yEnc pings. The loader's raw
  // receiver still holds the last yEnc ping as the start of a packet, so the first raw ping of the
  // second pass only completes that bogus packet and goes unanswered.
  std::string answered_ping = pings(1, "\r\nResponse: 050e 0123 f9cf \r\n\r\n");
  EXPECT_EQ(read_file(path("log.txt")),
            answered_ping + pings(3) + pings(1) + answered_ping + pings(3));
  std::vector<WireFrame> answered = received(CMD_PING);
  ASSERT_EQ(answered.size(), 2u);
  for (const WireFrame& ping : answered) EXPECT_EQ(ping.framing, "raw");
  EXPECT_TRUE(received(CMD_BEGIN).empty());
}

TEST_F(Detection, SilentTargetTimesOutAfterTwoPasses) {
  start_sim({"--silent"});
  Finished run = run_tool({"-l", "drv.bin", "-p", "-v", "dev.bin"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, opened + "\r\nConnection timed out!\r\n");
  // Two passes of three raw and three yEnc attempts of one second each.
  EXPECT_GE(run.seconds, 12.0);
  EXPECT_LT(run.seconds, 14.0);
  // The waits sleep in the port's read: no busy loop.
  EXPECT_LT(run.cpu_seconds, 0.05 * run.seconds) << run.cpu_seconds << " s of CPU";
  EXPECT_EQ(read_file(path("log.txt")), pings(12));
  finish_sim(0);
  EXPECT_FALSE(received(CMD_PING).empty());
  EXPECT_TRUE(received(CMD_DISCONNECT).empty());
}

}  // namespace
}  // namespace xarveld::e2e
