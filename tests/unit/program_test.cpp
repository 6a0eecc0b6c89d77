// Programming over the scripted port, against the simulated loader.
#include <string>

#include <gtest/gtest.h>

#include "link/clock.hpp"
#include "link/framing.hpp"
#include "link/receive.hpp"
#include "ops/program.hpp"
#include "tests/support/fake_link.hpp"
#include "tests/support/frames.hpp"
#include "tests/support/sim_peer.hpp"
#include "tests/support/test_env.hpp"
#include "trace/trace_log.hpp"

namespace xarveld {
namespace {

constexpr std::uint64_t SECOND = 1000 * TICKS_PER_MILLISECOND;

std::string image_of(std::size_t size, unsigned seed = 1) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed * 7) >> 3);
  return bytes;
}

class Programming : public test::LinkTest {
 protected:
  // The commands the tool wrote, as "begin@offset" and "data" in order.
  std::vector<std::string> commands() {
    std::vector<std::string> names;
    for (const fake::Bytes& frame : fake::frames_written()) {
      Packet command = test::command_in_frame(frame);
      switch (packet_command_code(command[0])) {
        case CMD_BEGIN:
          names.push_back("begin@" + std::to_string(command[3] | command[4] << 16));
          break;
        case CMD_DATA: names.push_back("data"); break;
        default: names.push_back("other"); break;
      }
    }
    return names;
  }
  sim::Loader loader;
};

TEST_F(Programming, FlashImageIsBurntWithProgressAndPadding) {
  std::string image = image_of(2000);
  test::write_file("dev.bin", image);
  test::attach_loader(loader);
  EXPECT_EQ(program_image("dev.bin", 3), 0);
  // One "." per KiB, counted at offsets 0 and 1024.
  EXPECT_EQ(console.text(),
            "\r\nLoaded Bin file: dev.bin\r\nSize = 0x000007d0 Bytes\r\n\r\nBurning flash...Done!\r\n");
  EXPECT_EQ(test::device_bytes(loader, 3, 2000), image);
  // 2000 bytes are 63 blocks; the last carries 16 bytes of erased padding.
  EXPECT_EQ(test::device_bytes(loader, 3, 2016).substr(2000), std::string(16, '\xFF'));
  std::vector<std::string> sent = commands();
  ASSERT_EQ(sent.size(), 64u);
  EXPECT_EQ(sent[0], "begin@0");
  Packet opening = test::command_in_frame(fake::frames_written()[0]);
  EXPECT_EQ(opening[1], OP_PROGRAM_FLASH);
  EXPECT_EQ(opening[2], 3);
  EXPECT_EQ(opening[5] | opening[6] << 16, 2000);
}

TEST_F(Programming, LostBlockIsAnnouncedAgainAndResent) {
  test::write_file("dev.bin", image_of(96));
  trace_open();
  // The second CMD_DATA is carried out but its answer is lost: one 20-s wait, then the resync.
  test::attach_loader(loader, {"--drop", "501:2"});
  EXPECT_EQ(program_image("dev.bin", 1), 0);
  EXPECT_EQ(commands(), (std::vector<std::string>{"begin@0", "data", "data", "begin@32", "data",
                                                  "data"}));
  EXPECT_GE(elapsed(), 20 * SECOND);
  EXPECT_LT(elapsed(), 21 * SECOND);
  EXPECT_EQ(test::device_bytes(loader, 1, 96), image_of(96));
  // The trace shows both CMD_DATA packets of the block and the resync between them; the lost
  // answer has no response record.
  std::string trace = trace_text();
  std::size_t first = trace.find("Command: f501", trace.find("Command: f501") + 1);
  std::size_t resync = trace.find("Command: 5502 0100 0001 0020 0000 0060 0000");
  std::size_t second = trace.find("Command: f501", resync);
  ASSERT_NE(resync, std::string::npos);
  EXPECT_LT(first, resync);
  EXPECT_NE(second, std::string::npos);
  EXPECT_EQ(trace.substr(first, resync - first).find("Response"), std::string::npos);
}

TEST_F(Programming, CorruptedAnswerIsResyncedAtOnce) {
  test::write_file("dev.bin", image_of(64));
  test::attach_loader(loader, {"--corrupt", "501:1"});
  EXPECT_EQ(program_image("dev.bin", 2), 0);
  EXPECT_EQ(commands(), (std::vector<std::string>{"begin@0", "data", "begin@0", "data", "data"}));
  EXPECT_EQ(elapsed(), 0u);
}

TEST_F(Programming, BlockThatNeverGetsThroughFailsAfterThreeAttempts) {
  test::write_file("dev.bin", image_of(64));
  test::attach_loader(loader, {"--corrupt", "501:2,3,4"});
  EXPECT_EQ(program_image("dev.bin", 2), -1);
  // Three CMD_DATA packets of the failed block, each followed by its resync.
  EXPECT_EQ(commands(), (std::vector<std::string>{"begin@0", "data", "data", "begin@32", "data",
                                                  "begin@32", "data", "begin@32"}));
  EXPECT_EQ(console.text().find("Done!"), std::string::npos);
}

TEST_F(Programming, RefusedFlashAndUnansweredOpening) {
  test::write_file("dev.bin", image_of(64));
  test::attach_loader(loader, {"--refuse-flash"});
  EXPECT_EQ(program_image("dev.bin", 1), -1);
  EXPECT_EQ(commands(), std::vector<std::string>{"begin@0"});

  fake::reset();
  test::attach_loader(loader, {"--silent"});
  start = fake::now();
  EXPECT_EQ(program_image("dev.bin", 1), -1);
  EXPECT_EQ(commands(), (std::vector<std::string>{"begin@0", "begin@0", "begin@0"}));
  EXPECT_GE(elapsed(), 60 * SECOND);
}

TEST_F(Programming, DeviceSixAndOthersAreRejectedAfterTheLoad) {
  test::write_file("dev.bin", image_of(64));
  test::attach_loader(loader);
  EXPECT_EQ(program_image("dev.bin", 6), -1);
  EXPECT_EQ(program_image("dev.bin", 8), -1);
  EXPECT_EQ(console.text(),
            "\r\nLoaded Bin file: dev.bin\r\nSize = 0x00000040 Bytes\r\nInvalid device #: 6\r\n"
            "\r\nLoaded Bin file: dev.bin\r\nSize = 0x00000040 Bytes\r\nInvalid device #: 8\r\n");
  EXPECT_TRUE(fake::frames_written().empty());
}

TEST_F(Programming, DriverIsLoadedFromOffset2048AfterConnecting) {
  std::string driver = image_of(5000, 9);
  test::write_file("drv.bin", driver);
  test::attach_loader(loader);
  EXPECT_EQ(program_image("drv.bin", DRIVER_DEVICE), 0);
  EXPECT_EQ(console.text(),
            "\r\nLoaded Bin file: drv.bin\r\nSize = 0x00001388 Bytes\r\nRAW mode detected.\r\n"
            "\r\nLoading driver to SRAM....Done!");
  EXPECT_EQ(test::device_bytes(loader, 0, 5000).substr(2048), driver.substr(2048));
  EXPECT_EQ(test::device_bytes(loader, 0, 2048), std::string(2048, '\0'));
  EXPECT_EQ(link_mode(), LinkMode::YEnc);
  // The opening announces the bytes still to come: size - 2048.
  for (const fake::Bytes& frame : fake::frames_written()) {
    Packet command = test::command_in_frame(frame);
    if (packet_command_code(command[0]) != CMD_BEGIN) continue;
    EXPECT_EQ(command[1], OP_LOAD_SRAM);
    EXPECT_EQ(command[3] | command[4] << 16, 2048);
    EXPECT_EQ(command[5] | command[6] << 16, 5000 - 2048);
    break;
  }
}

TEST_F(Programming, SmallDriverAnnouncesNothingToCome) {
  for (std::size_t size : {std::size_t{0}, std::size_t{100}, std::size_t{2048}}) {
    fake::reset();
    framing_reset();
    test::write_file("drv.bin", image_of(size));
    test::attach_loader(loader);
    EXPECT_EQ(program_image("drv.bin", DRIVER_DEVICE), 0) << size;
    std::vector<std::string> sent = commands();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), "begin@2048") << size;
    Packet opening = test::command_in_frame(fake::frames_written().back());
    EXPECT_EQ(opening[5] | opening[6] << 16, 0) << size;
  }
  // No block is sent, so no progress mark follows the announcement.
  std::string text = console.text();
  std::size_t announcements = 0;
  for (std::size_t at = 0; (at = text.find("SRAM.Done!", at)) != std::string::npos; ++at) {
    ++announcements;
  }
  EXPECT_EQ(announcements, 3u);
}

}  // namespace
}  // namespace xarveld
