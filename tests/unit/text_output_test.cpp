#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "common/console.hpp"
#include "tests/support/test_env.hpp"
#include "trace/trace_log.hpp"

namespace xarveld {
namespace {

TEST(Console, EveryLineFeedIsCrLfAndNothingElseChanges) {
  test::ConsoleCapture console;
  console_printf("\nLoaded Bin file: %s\nSize = 0x%08x Bytes\n", "a b\r.bin", 0x1234u);
  console_printf(".");
  console_printf("\r%06x", 0x400u);
  console_printf("%s", "");
  EXPECT_EQ(console.text(),
            "\r\nLoaded Bin file: a b\r.bin\r\nSize = 0x00001234 Bytes\r\n.\r000400");
}

TEST(Console, LongMessagesAreWrittenWhole) {
  test::ConsoleCapture console;
  std::string name(3000, 'n');
  name[1500] = '\n';
  console_printf("Could not open bin file: %s\n", name.c_str());
  std::string expected = "Could not open bin file: " + name.substr(0, 1500) + "\r\n" +
                         name.substr(1501) + "\r\n";
  EXPECT_EQ(console.text(), expected);
}

class TraceLog : public ::testing::Test {
 protected:
  void TearDown() override { trace_close(); }
  test::ScratchDir scratch;
};

TEST_F(TraceLog, RecordsAreWrittenWithCrLfLineEnds) {
  trace_open();
  ASSERT_TRUE(trace_is_open());
  const std::uint16_t ping[] = {0x050E, 0x0000, 0xFAF2};
  trace_command_record(ping, 3);
  trace_response_record(ping, 3);
  trace_message_record("=G8/**\x1c$\r");
  trace_channel_error_record("=H\r");
  trace_line_error_record("oops\r");
  trace_verify_start_record();
  trace_verify_complete_record();
  trace_close();
  EXPECT_FALSE(trace_is_open());
  EXPECT_EQ(test::read_file("log.txt"),
            "\r\nCommand: 050e 0000 faf2 "
            "\r\nResponse: 050e 0000 faf2 \r\n\r\n"
            "\r\nMessage: =G8/**\x1c$\r"
            "Invalid response channel. =H\r\r\n"
            "Invalid response. oops\r\r\n"
            "\r\nVerifying data\r\n"
            "\r\nVerification complete\r\n");
}

TEST_F(TraceLog, OpeningTruncatesAndWritersDoNothingWhileClosed) {
  test::write_file("log.txt", "old contents");
  const std::uint16_t words[18] = {0xF501, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                   0xABCD};
  trace_command_record(words, 18);  // closed: nothing
  EXPECT_EQ(test::read_file("log.txt"), "old contents");
  trace_open();
  trace_command_record(words, 18);
  trace_close();
  EXPECT_EQ(test::read_file("log.txt"),
            "\r\nCommand: f501 0001 0002 0003 0004 0005 0006 0007 0008 0009 000a 000b 000c 000d "
            "000e 000f 0010 abcd ");
}

// A programming run writes three records per block; the stream goes to the file in pieces of its
// whole 64-KiB buffer, not a write per few blocks.
TEST_F(TraceLog, RecordsReachTheFileOnlyWhenTheBufferFills) {
  const std::uint16_t words[18] = {0xF501, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                   0xABCD};
  constexpr std::uintmax_t record_bytes = 11 + 18 * 5;
  trace_open();
  for (int i = 0; i < 100; ++i) trace_command_record(words, 18);
  EXPECT_EQ(std::filesystem::file_size("log.txt"), 0u) << "10 KiB of records already written out";
  for (int i = 0; i < 700; ++i) trace_command_record(words, 18);
  EXPECT_GT(std::filesystem::file_size("log.txt"), 0u);
  trace_close();
  EXPECT_EQ(std::filesystem::file_size("log.txt"), 800 * record_bytes);
}

TEST_F(TraceLog, AnUncreatableLogLeavesTheRunWithoutATrace) {
  std::filesystem::create_directory("log.txt");
  trace_open();
  EXPECT_FALSE(trace_is_open());
  trace_verify_start_record();  // must not crash
}

}  // namespace
}  // namespace xarveld
