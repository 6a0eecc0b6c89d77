// xarveld-read's command line.
#include <gtest/gtest.h>

#include "readback/read_options.hpp"

namespace xarveld {
namespace {

TEST(ReadOptions, SizesAreDecimalOrHexWithKOrM) {
  const struct {
    const char* text;
    std::uint32_t value;
  } accepted[] = {{"4096", 4096}, {"0x1F", 0x1F}, {"64K", 65536}, {"0x10k", 16384},
                  {"8M", 0x800000}, {"0", 0}};
  for (const auto& c : accepted) {
    std::uint32_t value = 1;
    EXPECT_TRUE(parse_size(c.text, value)) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
  for (const char* text : {"", "K", "0x", "12a", "-1", "9M", "0x800001", "99999999999"}) {
    std::uint32_t value = 0;
    EXPECT_FALSE(parse_size(text, value)) << text;
  }
  ReadParse read = parse_read_options({"-c", "3", "-d", "7", "-b", "57600", "-l", "drv.bin",
                                       "--start", "0x101", "--length", "2K", "--force", "o.hex"});
  ASSERT_EQ(read.outcome, ReadParseOutcome::Run) << read.message;
  EXPECT_EQ(read.options.port_name, "COM3");
  EXPECT_EQ(read.options.device, 7);
  EXPECT_EQ(read.options.baud_rate, 57600u);
  EXPECT_EQ(read.options.driver_file, "drv.bin");
  EXPECT_EQ(read.options.start, 0x101u);
  EXPECT_EQ(read.options.length, 2048u);
  EXPECT_TRUE(read.options.force && read.options.load_driver);
  EXPECT_EQ(read.options.out, "o.hex");
}

TEST(ReadOptions, ACommandLineThatCannotRunIsRefused) {
  const std::vector<std::vector<std::string>> refused = {
      {},
      {"out.bin"},
      {"--length", "0", "out.bin"},
      {"--length", "16"},
      {"--length", "16", "a.bin", "b.bin"},
      {"--start", "8M", "--length", "1", "out.bin"},
      {"--length", "16", "--exact", "out.bin"},
      {"--compare", "f.bin", "--length", "16"},
      {"--compare", "f.bin", "out.bin"},
      {"-d", "6", "--length", "16", "out.bin"},
      {"-c", "0", "--length", "16", "out.bin"},
      {"-b", "9600", "--length", "16", "out.bin"},
      {"--length"},
      {"--bogus", "--length", "16", "out.bin"},
  };
  for (const auto& arguments : refused) {
    ReadParse parsed = parse_read_options(arguments);
    EXPECT_EQ(parsed.outcome, ReadParseOutcome::Error) << testing::PrintToString(arguments);
    EXPECT_FALSE(parsed.message.empty());
  }
  EXPECT_EQ(parse_read_options({"--compare", "f.bin", "--exact"}).outcome, ReadParseOutcome::Run);
  EXPECT_EQ(parse_read_options({"--help"}).outcome, ReadParseOutcome::Help);
}

}  // namespace
}  // namespace xarveld
