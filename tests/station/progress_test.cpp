// The progress marks of real tool output, fed in the pieces a pseudo-terminal delivers, and the
// reason for a failure in what the tool wrote to its standard error.
#include <gtest/gtest.h>

#include <string>

#include "station/attempt/outcome.hpp"
#include "station/attempt/progress.hpp"
#include "station/attempt/reason.hpp"

namespace xarveld::station {
namespace {

// A run of "-l drv.bin -p -v img.bin" with a 4-KiB driver and a 3000-byte image, as it printed.
const std::string RUN =
    "Serial port opened...\r\n\r\nLoaded Bin file: drv.bin\r\nSize = 0x00001000 Bytes\r\n"
    "RAW mode detected.\r\n\r\nLoading driver to SRAM...Done!\r\nLoaded Bin file: img.bin\r\n"
    "Size = 0x00000bb8 Bytes\r\n\r\nBurning flash....Done!\r\n\r\nLoaded Bin file: img.bin\r\n"
    "Size = 0x00000bb8 Bytes\r\nVerifying data\r\n\r000000\r000400\r000800\r"
    "Verification Successful\r\nConnection closed.\r\n";

Progress fed_up_to(const std::string& marker, std::size_t piece = 3) {
  std::string text = RUN.substr(0, RUN.find(marker) + marker.size());
  Progress progress;
  for (std::size_t at = 0; at < text.size(); at += piece) {
    progress_feed(progress, std::string_view(text).substr(at, piece));
  }
  return progress;
}

TEST(StationProgress, PhasesMarksAndBytesOfARun) {
  const std::uint64_t driver = 4096, image = 3000;
  Progress start = fed_up_to("RAW mode detected.");
  EXPECT_EQ(start.phase, Phase::Connecting);

  Progress driver_load = fed_up_to("SRAM..");  // the message's own '.' and the first mark
  EXPECT_EQ(driver_load.phase, Phase::Driver);
  EXPECT_EQ(driver_load.marks, 1u);
  EXPECT_EQ(progress_bytes_total(driver_load, driver, image), 2048u);
  EXPECT_EQ(progress_bytes_done(driver_load, driver, image), 0u);
  EXPECT_TRUE(driver_load.block_sent);

  Progress burning = fed_up_to("flash...", 1);
  EXPECT_EQ(burning.phase, Phase::Burning);
  EXPECT_EQ(burning.marks, 2u);
  EXPECT_EQ(progress_bytes_done(burning, driver, image), 1024u);
  EXPECT_EQ(progress_bytes_done(fed_up_to("flash....Done!"), driver, image), 3000u);

  Progress verifying = fed_up_to("\r000400", 7);
  EXPECT_EQ(verifying.phase, Phase::Verifying);
  EXPECT_EQ(progress_bytes_done(verifying, driver, image), 0x400u);
  EXPECT_EQ(progress_last_line(verifying), "000400");
  // What the rows and the page show of a run cut short: its words, never its marks.
  EXPECT_EQ(progress_message(verifying), "Verifying data");
  EXPECT_EQ(progress_message(burning), "Burning flash.");
  EXPECT_EQ(progress_message(fed_up_to("flash....Done!")), "Burning flash. Done!");
  Progress long_burn;
  progress_feed(long_burn, "Burning flash." + std::string(8192, '.'));
  EXPECT_EQ(progress_message(long_burn), "Burning flash.");
  EXPECT_EQ(progress_last_line(long_burn).size(), 8206u);  // the record keeps it as it was

  Progress whole = fed_up_to("Connection closed.\r\n", 5);
  EXPECT_EQ(whole.phase, Phase::Closed);
  EXPECT_EQ(progress_last_line(whole), "Connection closed.");
  EXPECT_FALSE(whole.port_not_opened || whole.connection_timed_out || whole.read_error);
}

TEST(StationProgress, FailuresAndWhetherTheyAreWorthAnotherAttempt) {
  struct Case {
    std::string output;
    std::string last_line;
    bool retry;
  };
  const Case cases[] = {
      {"Could not open serial port!\r\n", "Could not open serial port!", true},
      {"Serial port opened...\r\nRAW mode detected.\r\n", "RAW mode detected.", false},
      {"Serial port opened...\r\n\r\nConnection timed out!\r\n", "Connection timed out!", true},
      // Vanished while connecting, and while burning: only the first is retried.
      {"Serial port opened...\r\nSerial Read Error = 0\r\n\r\nConnection timed out!\r\n",
       "Connection timed out!", true},
      {"Serial port opened...\r\nSerial Read Error = 0\r\nUnable to load d.bin.\r\n",
       "Unable to load d.bin.", true},
      {"\r\nLoading driver to SRAM...Unable to load d.bin.\r\n", "Unable to load d.bin.", false},
      {"\r\nBurning flash...Serial Read Error = 0\r\n\r\nUnable to program i.bin.\r\n",
       "Unable to program i.bin.", false},
      {"Verifying data\r\n\r000000\r\nVerification failure at 00000\r\n\r\n*** Verification "
       "failed.\r\n",
       "*** Verification failed.", false},
  };
  for (const Case& c : cases) {
    Progress progress;
    progress_feed(progress, c.output);
    EXPECT_EQ(progress_last_line(progress), c.last_line) << c.output;
    RunEnd end;
    end.exit_status = 1;
    EXPECT_EQ(worth_retrying(classify_run(end), progress), c.retry) << c.output;
  }
  // Ended by the station: neither a time-out nor an interrupt is tried again.
  Progress silent;
  progress_feed(silent, "Serial port opened...\r\n");
  EXPECT_EQ(classify_run({143, true, false}), Result::Timeout);
  EXPECT_EQ(classify_run({130, false, true}), Result::Aborted);
  EXPECT_EQ(classify_run({0, false, true}), Result::Pass);
  EXPECT_FALSE(worth_retrying(Result::Timeout, silent));
}

TEST(StationReason, TheLastLineTheToolExplainedOnItsStandardError) {
  const std::string vanished =
      "COM1 (./COM1 -> /dev/pts/4) vanished: the adapter was unplugged or the line hung up";
  const std::string unopened = "COM1 (./COM1 -> /x/COM1): No such file or directory; is the "
                               "adapter plugged in? see ls /dev/serial/by-id";
  const struct {
    std::string errors;
    std::string reason;
  } cases[] = {
      {"", ""},
      {"\n \r\n\t\n", ""},
      {"xarveld: " + unopened + "\n", unopened},
      {"xarveld: the loader refused to program device 5", "the loader refused to program device 5"},
      // A warning first, then what ended the run.
      {"xarveld: log.txt: Permission denied; this run keeps no trace\nxarveld: " + vanished +
           "\n\n",
       vanished},
      {"\x1b[1;31mxarveld: \x1b[0mthe loader did not answer\x1b]0;title\a\r\n",
       "the loader did not answer"},
      {"50%\rSegmentation fault\x7f\x01\r\n", "Segmentation fault"},
      // C1 controls (a one-byte CSI clears the screen) and bytes that are not UTF-8.
      {"xarveld: bad \xc2\x9b" "2Jport\xc2\x85 \xff\xed\xa0\x80\xc0\xafok \xe2\x82\xac\n",
       "bad port ok \xe2\x82\xac"},
      {"xarveld: " + std::string(REASON_LIMIT - 4, 'a') + "\xc3\xa9tc and more",
       std::string(REASON_LIMIT - 4, 'a') + "..."},
  };
  for (const auto& c : cases) EXPECT_EQ(failure_reason(c.errors), c.reason) << c.errors;

  std::string tail;
  keep_reason_source(tail, std::string(REASON_SOURCE_LIMIT, 'x'));
  keep_reason_source(tail, "\nxarveld: " + vanished);
  EXPECT_EQ(tail.size(), REASON_SOURCE_LIMIT);
  EXPECT_EQ(failure_reason(tail), vanished);
}

}  // namespace
}  // namespace xarveld::station
