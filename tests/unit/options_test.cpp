#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/options.hpp"
#include "tests/support/test_env.hpp"

namespace xarveld {
namespace {

using Args = std::vector<std::string>;

struct Accepted {
  Args args;
  Options expected;
};

Options with(std::function<void(Options&)> change) {
  Options options;
  change(options);
  return options;
}

TEST(ParseOptions, AcceptedCommandLinesGiveTheirOptions) {
  const std::vector<Accepted> cases = {
      {{"dev.bin"}, with([](Options& o) { o.device_file = "dev.bin"; })},
      {{"-c", "3", "-b", "57600", "-d", "2", "-p", "-v", "dev.bin"}, with([](Options& o) {
         o.port_name = "COM3";
         o.baud_rate = 57600;
         o.device_number = 2;
         o.program = true;
         o.verify_mode = VERIFY_DATA;
         o.device_file = "dev.bin";
       })},
      {{"-l", "drv.bin", "-x", "dev.bin"}, with([](Options& o) {
         o.load_driver = true;
         o.driver_file = "drv.bin";
         o.verify_mode = VERIFY_CHECKSUM;
         o.device_file = "dev.bin";
       })},
      // The last -c, -d, -b and -l win; -v and -x share one field, the later one wins.
      {{"-c", "2", "-c", "9", "-d", "1", "-d", "7", "-b", "19200", "-b", "115200", "-l", "a.bin",
        "-l", "b.bin", "-v", "-x", "dev.bin"},
       with([](Options& o) {
         o.port_name = "COM9";
         o.device_number = 7;
         o.load_driver = true;
         o.driver_file = "b.bin";
         o.verify_mode = VERIFY_CHECKSUM;
         o.device_file = "dev.bin";
       })},
      {{"-x", "-v", "dev.bin"}, with([](Options& o) {
         o.verify_mode = VERIFY_DATA;
         o.device_file = "dev.bin";
       })},
      // Only the letter after '-' counts.
      {{"-verify", "-program", "dev.bin"}, with([](Options& o) {
         o.verify_mode = VERIFY_DATA;
         o.program = true;
         o.device_file = "dev.bin";
       })},
      // The last argument is never an option: a lone -x is the device file (its last letter 'x'
      // passes the name test).
      {{"-x"}, with([](Options& o) { o.device_file = "-x"; })},
      // Arguments not beginning with '-' are skipped, as the values of -c, -d, -b are.
      {{"stray", "-p", "dev.hex"}, with([](Options& o) {
         o.program = true;
         o.device_file = "dev.hex";
       })},
      // -l second to last takes the device file as its value; the name test still applies.
      {{"-l", "image.bin"}, with([](Options& o) {
         o.load_driver = true;
         o.driver_file = "image.bin";
         o.device_file = "image.bin";
       })},
      // The driver file name is not tested.
      {{"-l", "driver", "-p", "a.bin"}, with([](Options& o) {
         o.load_driver = true;
         o.driver_file = "driver";
         o.program = true;
         o.device_file = "a.bin";
       })},
  };
  for (const Accepted& c : cases) {
    ParseResult result = parse_options(c.args);
    std::string line = ::testing::PrintToString(c.args);
    ASSERT_EQ(result.outcome, ParseOutcome::Run) << line << ": " << result.message;
    const Options& o = result.options;
    EXPECT_EQ(o.port_name, c.expected.port_name) << line;
    EXPECT_EQ(o.baud_rate, c.expected.baud_rate) << line;
    EXPECT_EQ(o.load_driver, c.expected.load_driver) << line;
    EXPECT_EQ(o.driver_file, c.expected.driver_file) << line;
    EXPECT_EQ(o.device_number, c.expected.device_number) << line;
    EXPECT_EQ(o.program, c.expected.program) << line;
    EXPECT_EQ(o.verify_mode, c.expected.verify_mode) << line;
    EXPECT_EQ(o.device_file, c.expected.device_file) << line;
  }
}

TEST(ParseOptions, DeviceFileNameTest) {
  // Accepted when the fourth-last character is '.', the third-last 'h', the second-last 'e' or
  // the last 'x'; shorter names count missing positions as not matching.
  for (std::string name : {"a.bin", "a.hex", ".abc", "zzhzz", "hzz", "ex", "x", "abcd.efg"}) {
    EXPECT_EQ(parse_options({name}).outcome, ParseOutcome::Run) << name;
  }
  for (std::string name : {"", "a", "bin", "a.b", "image", "foo.", "-p"}) {
    ParseResult result = parse_options({"-v", name});
    EXPECT_EQ(result.outcome, ParseOutcome::Error) << name;
    EXPECT_STREQ(result.message, "Flash file name must be specified.\n") << name;
  }
  // A very long name is held whole.
  std::string long_name = std::string(5000, 'n') + ".bin";
  ParseResult result = parse_options({"-l", long_name + "x", "-p", long_name});
  ASSERT_EQ(result.outcome, ParseOutcome::Run);
  EXPECT_EQ(result.options.device_file, long_name);
  EXPECT_EQ(result.options.driver_file, long_name + "x");
}

TEST(ParseOptions, UsageRequests) {
  EXPECT_EQ(parse_options({}).outcome, ParseOutcome::Usage);
  EXPECT_EQ(parse_options({"-?"}).outcome, ParseOutcome::Usage);
  EXPECT_EQ(parse_options({"-?help"}).outcome, ParseOutcome::Usage);
  // Among several arguments -? is just an unknown option.
  ParseResult among = parse_options({"-?", "dev.bin"});
  EXPECT_EQ(among.outcome, ParseOutcome::Error);
  EXPECT_STREQ(among.message, "Incorrect usage\n");
}

TEST(ParseOptions, EachErrorWithItsExactMessage) {
  struct Rejected {
    Args args;
    const char* message;
  };
  const std::vector<Rejected> cases = {
      {{"-c", "10", "dev.bin"}, "COM port number must be between 1 and 9.\n"},
      {{"-c", "0", "dev.bin"}, "COM port number must be between 1 and 9.\n"},
      {{"-c", "", "dev.bin"}, "COM port number must be between 1 and 9.\n"},
      {{"-d", "8", "dev.bin"}, "Device number must be between 1 and 7.\n"},
      {{"-d", "0", "dev.bin"}, "Device number must be between 1 and 7.\n"},
      {{"-d", "12", "dev.bin"}, "Device number must be between 1 and 7.\n"},
      {{"-l", "-p", "dev.bin"}, "Filename expected after -l\n"},
      {{"-b", "9600", "dev.bin"}, "Incorrect baud rate. Must be 19200, 57600 or 115200."},
      {{"-b", "1152000", "dev.bin"}, "Incorrect baud rate. Must be 19200, 57600 or 115200."},
      {{"-q", "dev.bin"}, "Incorrect usage\n"},
      {{"-", "dev.bin"}, "Incorrect usage\n"},
      // The value of -c is the device file when -c stands second to last.
      {{"-c", "dev.bin"}, "COM port number must be between 1 and 9.\n"},
      // -p written last is the device file and fails the name test.
      {{"-v", "-p"}, "Flash file name must be specified.\n"},
      // The first failing option ends the walk: later ones are not examined.
      {{"-p", "-d", "9", "-c", "0", "dev.bin"}, "Device number must be between 1 and 7.\n"},
      {{"-v", "-z", "-b", "1", "bad"}, "Incorrect usage\n"},
  };
  for (const Rejected& c : cases) {
    ParseResult result = parse_options(c.args);
    EXPECT_EQ(result.outcome, ParseOutcome::Error) << ::testing::PrintToString(c.args);
    EXPECT_STREQ(result.message, c.message) << ::testing::PrintToString(c.args);
  }
}

TEST(PrintUsage, EightStringsExactly) {
  test::ConsoleCapture console;
  print_usage();
  EXPECT_EQ(console.text(), test::USAGE_TEXT);
}

}  // namespace
}  // namespace xarveld
