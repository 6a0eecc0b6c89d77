// The progress marks of real tool output, fed in the pieces a pseudo-terminal delivers, the
// reason for a failure in what the tool wrote to its standard error, and its code.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "station/attempt/outcome.hpp"
#include "station/attempt/progress.hpp"
#include "station/attempt/reason.hpp"
#include "station/attempt/reason_code.hpp"

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

TEST(StationReason, EachFailureGetsOneCodeFromTheStationAndTheToolsWords) {
  const std::string port = "xarveld: COM1 (./COM1 -> /dev/ttyUSB3)";
  const struct {
    Result result;
    bool station_failed, backup_failed;
    std::int64_t status;
    std::string output, errors, code;
  } cases[] = {
      {Result::Pass, false, false, 0, "Connection closed.\r\n", "", ""},
      {Result::Timeout, false, false, 143, "Could not open serial port!\r\n", "", "TIMEOUT"},
      {Result::Aborted, false, true, 130, "", "", "INTERRUPTED"},
      {Result::Fail, false, true, 1, "", "Could not open serial port!\r\n", "BACKUP_FAILED"},
      {Result::Fail, true, false, -1, "", "", "TOOL_FAILED"},
      {Result::Fail, false, false, 139, "Connection timed out!\r\n", "", "TOOL_FAILED"},
      {Result::Fail, false, false, 1, "Segmentation fault\n", "", "TOOL_FAILED"},
      {Result::Fail, false, false, 1, "Could not open serial port!\r\n",
       port + ": Device or resource busy\n", "PORT_UNAVAILABLE"},
      {Result::Fail, false, false, 1, "Could not open bin file: a.bin\r\n", "", "TOOL_FAILED"},
      {Result::Fail, false, false, 1,
       "Serial port opened...\r\nSerial Read Error = 0\r\n\r\nConnection timed out!\r\n", "",
       "PORT_VANISHED"},
      {Result::Fail, false, false, 1, "\r\nBurning flash...Serial Read Error = 0\r\n\r\n"
       "Unable to program i.bin.\r\n", "", "PORT_VANISHED"},
      // A port gone on a write says so only on standard error, before the block it lost.
      {Result::Fail, false, false, 1, "\r\nBurning flash..\r\nUnable to program i.bin.\r\n",
       port + " vanished: the adapter was unplugged or the line hung up\nxarveld: the loader did "
       "not take the block at offset 0x000800\n", "PORT_VANISHED"},
      {Result::Fail, false, false, 1, "\r\nBurning flash.\r\nUnable to program i.bin.\r\n",
       "\x1b[1;31mxarveld: \x1b[0mthe loader refused to program device 5\r\n", "REFUSED"},
      {Result::Fail, false, false, 1, "\r\nBurning flash.\r\nUnable to program i.bin.\r\n", "",
       "NO_ANSWER"},  // standard error not a terminal: what failed is all it says
      {Result::Fail, false, false, 1, "Serial port opened...\r\n\r\nConnection timed out!\r\n",
       "", "NO_ANSWER"},
      {Result::Fail, false, false, 1, "Verifying data\r\n\r000000\r\nCommunication Error, "
       "response = 0304,0000,0000,Try again.....\r\n\r\nVerification failure at 00000\r\n"
       "\r\n*** Verification failed.\r\n", "", "DATA_MISMATCH"},
  };
  for (const auto& c : cases) {
    RunFacts facts;
    facts.result = c.result;
    facts.station_failed = c.station_failed;
    facts.backup_failed = c.backup_failed;
    facts.exit_status = c.status;
    facts.output = c.output;
    facts.errors = c.errors;
    EXPECT_EQ(reason_code(facts), c.code) << c.output << c.errors;
  }
}

// Every literal xarveld and xarveld-read give their printing functions, a line at a time: each
// must be in the table, so that a new message without a code fails here.
std::vector<std::string> printed_texts() {
  const std::string functions[] = {"console_printf(", "diagnose(", "explain_failure(",
                                   "report_trouble("};
  std::vector<std::string> texts;
  for (const char* folder : {"cli", "common", "link", "ops", "readback", "trace"}) {
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string(XARVELD_SOURCE_DIR) + "/" + folder)) {
      if (entry.path().extension() != ".cpp") continue;
      std::ifstream file(entry.path());
      std::stringstream read;
      read << file.rdbuf();
      const std::string source = read.str();
      for (const std::string& name : functions) {
        for (std::size_t at = source.find(name); at != std::string::npos;
             at = source.find(name, at + 1)) {
          if (at > 0 && (std::isalnum(static_cast<unsigned char>(source[at - 1])) ||
                         source[at - 1] == '_')) continue;
          // Its arguments up to the closing parenthesis; adjacent literals are one.
          std::vector<std::string> literals;
          bool joined = false;
          for (std::size_t i = at + name.size(), depth = 1; depth > 0 && i < source.size(); ++i) {
            char c = source[i];
            if (c == '"') {
              std::string literal;
              for (++i; source[i] != '"'; ++i) {
                if (source[i] != '\\') {
                  literal += source[i];
                  continue;
                }
                char escaped = source[++i];
                literal += escaped == 'n' ? '\n' : escaped == 'r' ? '\r' : escaped == 't' ? '\t'
                                                                                       : escaped;
              }
              if (joined) literals.back() += literal;
              else literals.push_back(literal);
              joined = true;
              continue;
            }
            if (!std::isspace(static_cast<unsigned char>(c))) joined = false;
            depth += c == '(' ? 1 : c == ')' ? -1 : 0;
          }
          for (const std::string& literal : literals) {
            std::string piece;
            for (char c : literal + '\n') {
              if (c != '\n' && c != '\r') {
                piece += c;
                continue;
              }
              std::size_t first = piece.find_first_not_of(' ');
              if (first != std::string::npos)
                texts.push_back(piece.substr(first, piece.find_last_not_of(' ') - first + 1));
              piece.clear();
            }
          }
        }
      }
    }
  }
  return texts;
}

TEST(StationReason, EveryMessageTheToolsPrintIsInTheTable) {
  std::set<std::string> in_table;
  for (const ToolMessage& message : tool_messages()) {
    in_table.insert(message.format);
    bool coded = std::any_of(REASON_CODES.begin(), REASON_CODES.end(), [&](const char* code) {
      return message.code != nullptr && std::string(code) == message.code;
    });
    EXPECT_EQ(coded, message.says != Says::Nothing) << message.format;
  }
  std::vector<std::string> texts = printed_texts();
  ASSERT_GT(texts.size(), 50u);
  std::set<std::string> printed(texts.begin(), texts.end());
  for (const std::string& text : printed) EXPECT_TRUE(in_table.count(text)) << text;
  for (const std::string& format : in_table) EXPECT_TRUE(printed.count(format)) << format;
  // A format stands for what it prints: its conversions for any text.
  EXPECT_TRUE(line_holds_format("Burning flash..Serial Read Error = 0", "Serial Read Error = %d"));
  EXPECT_TRUE(line_holds_format("100% at 0x0001ff", "100%% at 0x%06x"));
  EXPECT_FALSE(line_holds_format("Unable to program", "Unable to program %s."));
  EXPECT_FALSE(line_holds_format("b then a", "a%sb"));
}

}  // namespace
}  // namespace xarveld::station
