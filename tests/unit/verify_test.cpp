// Verification over the scripted port, against the simulated loader.
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "link/packet.hpp"
#include "ops/program.hpp"
#include "ops/verify.hpp"
#include "tests/support/fake_link.hpp"
#include "tests/support/frames.hpp"
#include "tests/support/sim_peer.hpp"
#include "tests/support/test_env.hpp"
#include "trace/trace_log.hpp"

namespace xarveld {
namespace {

std::string image_of(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 37 + (i >> 8));
  return bytes;
}

class Verification : public test::LinkTest {
 protected:
  // Burns the image into the device with the loader behind the port, then starts afresh with
  // these faults, keeping the memory.
  void burn(const std::string& image, int device, const std::vector<std::string>& faults = {}) {
    test::write_file("dev.bin", image);
    test::attach_loader(loader);
    ASSERT_EQ(program_image("dev.bin", device), 0);
    sim::Memory memory = loader.memory;
    fake::reset();
    test::attach_loader(loader, faults);
    loader.memory = memory;
    console_start = console.text().size();
  }
  std::string output() { return console.text().substr(console_start); }
  std::size_t count_sent(std::uint16_t code) {
    std::size_t count = 0;
    for (const fake::Bytes& frame : fake::frames_written()) {
      if (packet_command_code(test::command_in_frame(frame)[0]) == code) ++count;
    }
    return count;
  }
  sim::Loader loader;
  std::size_t console_start = 0;
};

TEST_F(Verification, BothModesSucceedWithProgressEveryKiB) {
  burn(image_of(3000), 5);
  trace_open();
  EXPECT_EQ(verify_image("dev.bin", 5, false), 0);
  EXPECT_EQ(verify_image("dev.bin", 5, true), 0);
  const std::string loaded = "\r\nLoaded Bin file: dev.bin\r\nSize = 0x00000bb8 Bytes\r\n";
  EXPECT_EQ(output(), loaded + "Verifying data\r\n\r000000\r000400\r000800\rVerification Successful\r\n" +
                          loaded + "Verifying data\r\n\r000000\r000400\r000800\rVerification Successful\r\n");
  // 94 data blocks (the last of 28 words), then 3 checksum blocks (the last of 476 words).
  EXPECT_EQ(count_sent(CMD_READ_NEXT), 94u + 3u);
  std::string trace = trace_text();
  EXPECT_EQ(trace.rfind("\r\nVerifying data\r\n", 0), 0u);
  EXPECT_EQ(trace.substr(trace.size() - 25), "\r\nVerification complete\r\n");
}

TEST_F(Verification, BlockSizesOfOddAndShortImages) {
  // 1000 bytes: 31 data blocks and one of 4 words; one checksum block of 500 words.
  burn(image_of(1000), 2);
  EXPECT_EQ(verify_image("dev.bin", 2, false), 0);
  EXPECT_EQ(count_sent(CMD_READ_NEXT), 32u);
  EXPECT_EQ(verify_image("dev.bin", 2, true), 0);
  EXPECT_EQ(count_sent(CMD_READ_NEXT), 33u);

  // An odd size never compares its last byte: the device may hold anything there.
  std::string odd = image_of(33);
  burn(odd, 4);
  odd[32] = static_cast<char>(odd[32] ^ 0x5A);
  test::write_file("dev.bin", odd);
  EXPECT_EQ(verify_image("dev.bin", 4, false), 0);
  // The last block holds no word at all, yet its CMD_READ_NEXT is sent.
  EXPECT_EQ(count_sent(CMD_READ_NEXT), 2u);
  EXPECT_EQ(verify_image("dev.bin", 4, true), 0);
}

TEST_F(Verification, EmptyImageSendsOnlyTheBeginAndSucceeds) {
  burn("", 1);
  EXPECT_EQ(verify_image("dev.bin", 1, false), 0);
  EXPECT_EQ(count_sent(CMD_BEGIN), 1u);
  EXPECT_EQ(count_sent(CMD_READ_NEXT), 0u);
}

TEST_F(Verification, MismatchOnceIsReadAgainAndGoesOn) {
  // One wrong byte at offset 70 read back once: block 64 mismatches on its first comparison, at
  // its word 3; the message shows the answer's words 0 to 2.
  burn(image_of(256), 3, {"--flip", "3:70:1"});
  EXPECT_EQ(verify_image("dev.bin", 3, false), 0);
  EXPECT_EQ(output(),
            "\r\nLoaded Bin file: dev.bin\r\nSize = 0x00000100 Bytes\r\nVerifying data\r\n\r000000"
            "\r\nCommunication Error, response = f639,6540,af8a,Try again.....\r\n"
            "\rVerification Successful\r\n");
  EXPECT_EQ(count_sent(CMD_BEGIN), 2u);  // the opening and one resync
  EXPECT_EQ(count_sent(CMD_READ_NEXT), 9u);

  burn(image_of(2048), 3, {"--flip", "3:1500:1"});
  EXPECT_EQ(verify_image("dev.bin", 3, true), 0);
  EXPECT_TRUE(std::regex_match(
      output(), std::regex("\r\nLoaded Bin file: dev.bin\r\nSize = 0x00000800 Bytes\r\n"
                           "Verifying data\r\n\r000000\r000400"
                           "response\\[1\\] = [0-9a-f]{4}, checksum = [0-9a-f]{4} \r\n"
                           "\r\nCommunication Error, Try again\\.\\.\\.\\.\\.\r\n"
                           "\rVerification Successful\r\n")))
      << output();
}

TEST_F(Verification, AlwaysMismatchingBlockFailsAtItsOffset) {
  burn(image_of(4096), 7, {"--flip", "7:3100"});
  trace_open();
  EXPECT_EQ(verify_image("dev.bin", 7, false), -1);
  std::string text = output();
  EXPECT_NE(text.find("\r\nVerification failure at 00c00\r\n"), std::string::npos);
  // Three comparisons; after the third the resync and its CMD_READ_NEXT are still sent.
  EXPECT_EQ(count_sent(CMD_BEGIN), 1u + 3u);
  EXPECT_EQ(count_sent(CMD_READ_NEXT), 97u + 3u);
  EXPECT_EQ(trace_text().find("Verification complete"), std::string::npos);

  burn(image_of(4096), 7, {"--flip", "7:3100"});
  EXPECT_EQ(verify_image("dev.bin", 7, true), -1);
  EXPECT_NE(output().find("\r\nVerification failure at 00c00\r\n"), std::string::npos);
}

TEST_F(Verification, ShortAnswerIsAMismatchNeverStaleWords) {
  burn(image_of(128), 5, {"--short-read", "2"});
  EXPECT_EQ(verify_image("dev.bin", 5, false), 0);
  std::string text = output();
  EXPECT_NE(text.find("Communication Error, response = "), std::string::npos);
  EXPECT_EQ(count_sent(CMD_BEGIN), 2u);
}

TEST_F(Verification, DeviceSixLeavesOnlyTheStartRecord) {
  test::write_file("dev.bin", image_of(64));
  trace_open();
  test::attach_loader(loader);
  EXPECT_EQ(verify_image("dev.bin", 6, true), -1);
  EXPECT_EQ(console.text(),
            "\r\nLoaded Bin file: dev.bin\r\nSize = 0x00000040 Bytes\r\nInvalid device #: 6\r\n");
  EXPECT_EQ(trace_text(), "\r\nVerifying data\r\n");
  EXPECT_TRUE(fake::frames_written().empty());
}

TEST_F(Verification, UnansweredReadFailsWithoutMismatchMessages) {
  burn(image_of(64), 5, {"--drop", "639:1,2,3"});
  EXPECT_EQ(verify_image("dev.bin", 5, false), -1);
  EXPECT_EQ(count_sent(CMD_READ_NEXT), 3u);
  EXPECT_EQ(output().find("Communication"), std::string::npos);
}

}  // namespace
}  // namespace xarveld
