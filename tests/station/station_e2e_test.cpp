// The real station running the real tool against real simulated targets on pseudo-terminals.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "tests/station/station_fixture.hpp"

namespace xarveld::station_test {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

const std::vector<std::string> FULL_RUN = {"-l", "drv.bin", "-p", "-v", "img.bin"};

std::vector<std::string> with(std::vector<std::string> station, const std::vector<std::string>& tool) {
  station.push_back("--");
  station.insert(station.end(), tool.begin(), tool.end());
  return station;
}

// A script of the tool's arguments, made executable.
std::string write_script(const std::string& file, const std::string& body) {
  std::ofstream(file) << "#!/bin/sh\n" << body;
  fs::permissions(file, fs::perms::owner_all);
  return file;
}

// The last line the tool printed, as its saved standard output holds it.
std::string last_line_of(const std::string& output) {
  std::size_t end = output.find_last_not_of("\r\n");
  if (end == std::string::npos) return "";
  std::size_t start = output.find_last_of("\r\n", end);
  return output.substr(start == std::string::npos ? 0 : start + 1, end - start);
}

TEST_F(StationTest, SixTargetsThreeGoodNoneOfTheOthersTouchesThem) {
  std::vector<std::string> slots;
  for (const char* good : {"g1", "g2", "g3"}) slots.push_back(std::string(good) + "=" + start_sim(good));
  slots.push_back("silent=" + start_sim("silent", {"--silent"}));
  slots.push_back("pulled=" + start_sim("pulled", {"--hangup-after", "501:300"}));
  slots.push_back("chaos=" + start_sim("chaos", {"--chaos", "0.2", "--chaos-kinds",
                                                 "corrupt,fragment", "--seed", "3"}));
  slots.insert(slots.begin(), "--retries=0");
  Finished station = run_station(with(slots, FULL_RUN));
  stop_sims();
  EXPECT_EQ(station.status, 1) << station.out << station.err;
  // Not a terminal: plain lines, a start and a result per slot, no escape codes.
  EXPECT_EQ(station.out.find('\x1b'), std::string::npos);
  EXPECT_NE(station.out.find(" g2 start board 1 attempt 1 on "), std::string::npos);
  EXPECT_NE(station.out.find(" silent FAIL board 1 attempt 1 "), std::string::npos);

  ASSERT_EQ(records().size(), 6u);
  std::set<std::string> directories;
  for (const char* good : {"g1", "g2", "g3"}) {
    Json record = records_of(good).at(0);
    EXPECT_EQ(record["result"], "PASS") << record;
    EXPECT_EQ(record["exit_status"], 0);
    EXPECT_EQ(record["last_line"], "Connection closed.");
    EXPECT_EQ(record["images"][0]["sha256"], sha256_of(driver));
    EXPECT_EQ(record["images"][1]["sha256"], sha256_of(image));
    EXPECT_EQ(record["images"][1]["size"], image.size());
    std::string sim = path(std::string("sims/") + good);
    EXPECT_EQ(read_text(sim + "/dump/device5.bin"), image) << good;
    EXPECT_EQ(read_text(sim + "/dump/sram.bin").substr(2048), driver.substr(2048)) << good;
    // Its directory holds its own run and nothing of another's.
    std::string run = path(record["directory"]);
    EXPECT_EQ(record["directory"].get<std::string>().rfind(std::string("runs/") + good + "/", 0), 0u);
    std::set<std::string> files;
    for (const auto& entry : fs::directory_iterator(run)) files.insert(entry.path().filename());
    EXPECT_EQ(files, (std::set<std::string>{"COM1", "log.txt", "stderr.txt", "stdout.txt"}));
    EXPECT_EQ(record["log_sha256"], sha256_of(read_text(run + "/log.txt")));
    directories.insert(record["directory"]);
  }
  std::string pulled_output;
  for (const char* bad : {"silent", "pulled", "chaos"}) {
    Json record = records_of(bad).at(0);
    std::string output = read_text(path(record["directory"].get<std::string>() + "/stdout.txt"));
    EXPECT_EQ(record["result"], "FAIL") << record;
    EXPECT_EQ(record["exit_status"], 1);
    EXPECT_EQ(record["last_line"], last_line_of(output)) << bad;
    directories.insert(record["directory"]);
    if (std::string(bad) == "pulled") pulled_output = output;
  }
  EXPECT_EQ(directories.size(), 6u);
  EXPECT_FALSE(fs::exists(path("station-ledger.sqlite")));  // no ledger without its options
  EXPECT_EQ(records_of("silent")[0]["last_line"], "Connection timed out!");
  EXPECT_NE(pulled_output.find("Serial Read Error = 0"), std::string::npos);
  EXPECT_EQ(records_of("pulled")[0]["last_line"],
            "Unable to program " + records_of("pulled")[0]["tool_command"][4].get<std::string>() + ".");
  // The image every run burnt is the read-only copy named by its hash.
  std::string copy = path("runs/images/" + sha256_of(image) + ".bin");
  EXPECT_EQ(records_of("g1")[0]["tool_command"][4], copy);
  EXPECT_EQ(read_text(copy), image);
  EXPECT_EQ(fs::status(copy).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
}

TEST_F(StationTest, EachFailureIsRecordedWithTheToolsOwnReason) {
  std::vector<std::string> slots = {"--retries=0", "good=" + start_sim("good"),
                                    "absent=" + path("nowhere/COM1"),
                                    "silent=" + start_sim("silent", {"--silent"}),
                                    "pulled=" + start_sim("pulled", {"--hangup-after", "501:300"}),
                                    "flipped=" + start_sim("flipped", {"--flip", "5:100"})};
  Finished station = run_station(with(slots, FULL_RUN));
  stop_sims();
  EXPECT_EQ(station.status, 1) << station.out;
  EXPECT_EQ(records_of("flipped").at(0)["reason_code"], "DATA_MISMATCH");
  // What the tool explains on a terminal's standard error (link/serial_port_posix.cpp,
  // link/connection.cpp, link/lost_port.cpp) about the port bound as COM1 in the run's
  // directory, which the reason names by the slot's port; between the two parts, the seconds
  // it pinged for.
  const struct {
    const char* slot;
    std::string port, message, reason_start, reason_end, code;
  } failures[] = {
      {"absent", path("nowhere/COM1"), "Could not open serial port!",
       path("nowhere/COM1") + ": " + std::strerror(ENOENT) +
           "; is the adapter plugged in? see ls /dev/serial/by-id", "", "PORT_UNAVAILABLE"},
      {"silent", path("sims/silent/COM1"), "Connection timed out!",
       "no answer from the loader on " + path("sims/silent/COM1") + ": pinged it for ",
       " s in raw and yEnc framing; check that the board is powered and its loader running, that "
       "the cable is on this port, and that -b gives the loader's baud rate", "NO_ANSWER"},
      {"pulled", path("sims/pulled/COM1"), "Unable to program img.bin.",
       path("sims/pulled/COM1") + " vanished: the adapter was unplugged or the line hung up", "",
       "PORT_VANISHED"},
  };
  for (const auto& failure : failures) {
    Json record = records_of(failure.slot).at(0);
    EXPECT_EQ(record["reason_code"], failure.code) << record;
    ASSERT_TRUE(record["reason"].is_string()) << record;
    std::string reason = record["reason"];
    ASSERT_GE(reason.size(), failure.reason_start.size() + failure.reason_end.size()) << reason;
    std::string between = reason.substr(failure.reason_start.size(),
                                        reason.size() - failure.reason_start.size() - failure.reason_end.size());
    EXPECT_EQ(reason, failure.reason_start + between + failure.reason_end);
    EXPECT_EQ(between.find_first_not_of("0123456789"), std::string::npos) << reason;
    // Kept as the tool wrote it, and said whole in the summary after the tool's message.
    std::string said = reason;
    said.replace(said.find(failure.port), failure.port.size(),
                 "COM1 (./COM1 -> " + failure.port + ")");
    EXPECT_EQ(read_text(path(record["directory"].get<std::string>() + "/stderr.txt")),
              "xarveld: " + said + "\n");
    EXPECT_NE(station.out.find(" failed: " + failure.message + " - " + reason + "\n"),
              std::string::npos) << station.out;
  }
  Json good = records_of("good").at(0);
  EXPECT_EQ(good["result"], "PASS");
  EXPECT_TRUE(good["reason"].is_null());
  EXPECT_TRUE(good["reason_code"].is_null());
  EXPECT_EQ(read_text(path(good["directory"].get<std::string>() + "/stderr.txt")), "");

  // A burn cut short is 8 KiB of marks, and a tool may write controls: the record keeps its last
  // line as it was, the lines show its words and a reason that moves no cursor.
  std::string marks = write_script(path("marks.sh"), "printf 'Burning flash.'\nhead -c 8192 /dev/zero | "
                                   "tr '\\0' .\nprintf 'xarveld: bad \\302\\2332Jport\\n' >&2\nexit 1\n");
  Finished cut = run_station(with({"--tool", marks, "--retries", "0", "cut=/dev/null"}, {"img.bin"}));
  ASSERT_EQ(records_of("cut").size(), 1u) << cut.out;
  EXPECT_EQ(records_of("cut")[0]["last_line"].get<std::string>().size(), 8206u);
  EXPECT_NE(cut.out.find(" failed: Burning flash. - bad port\n"), std::string::npos) << cut.out;
}

TEST_F(StationTest, InterruptEndsEveryRunAsAbortedAndFreesThePorts) {
  std::vector<std::string> slots;
  for (const char* name : {"a", "b", "c", "d"}) {
    slots.push_back(std::string(name) + "=" + start_sim(name, {"--pace", "19200", "--serve-forever"}));
  }
  Station station = start_station(with(slots, {"-p", "-v", "img.bin"}));
  // Every run is burning: its first marks are in its saved output.
  ASSERT_TRUE(wait_for([&] {
    int burning = 0;
    for (const char* name : {"a", "b", "c", "d"}) {
      if (!fs::exists(path(std::string("runs/") + name))) continue;
      for (const auto& run : fs::directory_iterator(path(std::string("runs/") + name))) {
        burning += read_text(run.path() / "stdout.txt").find("Burning flash..") != std::string::npos;
      }
    }
    return burning == 4;
  }, 30));
  kill(station.pid, SIGINT);
  std::string output;
  EXPECT_EQ(finish_station(station, output, 20), 130) << output;
  EXPECT_NE(output.find("0 passed, 4 failed"), std::string::npos) << output;
  ASSERT_EQ(records().size(), 4u);
  for (const Json& record : records()) {
    EXPECT_EQ(record["result"], "ABORTED") << record;
    EXPECT_EQ(record["exit_status"], 130);
    EXPECT_EQ(record["reason_code"], "INTERRUPTED");
    std::string log = read_text(path(record["directory"].get<std::string>() + "/log.txt"));
    // Written out as far as the run got: the opening of the burn and its blocks.
    EXPECT_NE(log.find("\r\nCommand: 5502 0100 0005"), std::string::npos) << record["directory"];
    EXPECT_NE(log.find("\r\nCommand: f501 "), std::string::npos);
    EXPECT_EQ(record["log_sha256"], sha256_of(log));
  }
  // The next station opens every port at once.
  Finished next = run_station(with(slots, {"-x", "img.bin"}));
  std::vector<Json> all = records();
  ASSERT_EQ(all.size(), 8u) << next.out;
  for (std::size_t i = 4; i < 8; ++i) {
    std::string run_output = read_text(path(all[i]["directory"].get<std::string>() + "/stdout.txt"));
    EXPECT_EQ(run_output.rfind("Serial port opened...\r\n", 0), 0u) << all[i];
  }
}

TEST_F(StationTest, TwoStationsAppendWholeLinesToOneRecord) {
  // Ports that are not there fail at once and are tried again: many short attempts, so that the
  // two stations' appends meet.
  auto slots = [](const char* prefix) {
    std::vector<std::string> list = {"--retries", "5"};
    for (int i = 0; i < 4; ++i) {
      list.push_back(std::string(prefix) + std::to_string(i) + "=/nonexistent/" + prefix +
                     std::to_string(i));
    }
    return list;
  };
  Station first = start_station(with(slots("x"), {"-p", "img.bin"}));
  Station second = start_station(with(slots("y"), {"-p", "img.bin"}));
  std::string output;
  EXPECT_EQ(finish_station(first, output, 60), 1);
  EXPECT_EQ(finish_station(second, output, 60), 1);
  std::vector<Json> all = records();  // each line parsed whole
  EXPECT_EQ(all.size(), 48u);
  for (const Json& record : all) {
    EXPECT_EQ(record["last_line"], "Could not open serial port!");
  }
  EXPECT_EQ(records_of("y3").size(), 6u);
}

// What a terminal shows after the bytes it was sent: enough of one for the rows the station
// draws (printing, CR, LF, cursor up, erase line; colours are dropped).
std::vector<std::string> screen_of(const std::string& bytes) {
  std::vector<std::string> screen(1);
  std::size_t row = 0, column = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    char c = bytes[i];
    if (c == '\x1b' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
      std::size_t end = bytes.find_first_of("ABCDHJKm", i + 2);
      if (end == std::string::npos) break;
      int count = std::max(1, std::atoi(bytes.substr(i + 2, end - i - 2).c_str()));
      if (bytes[end] == 'A') row = row >= static_cast<std::size_t>(count) ? row - count : 0;
      if (bytes[end] == 'K') screen[row].clear();
      i = end;
    } else if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      if (++row == screen.size()) screen.emplace_back();
    } else {
      std::string& line = screen[row];
      if (line.size() <= column) line.resize(column + 1, ' ');
      line[column++] = c;
    }
  }
  return screen;
}

TEST_F(StationTest, TerminalShowsARowPerSlotAndTheResultsStay) {
  std::vector<std::string> slots = {"one=" + start_sim("one", {"--pace", "115200"}),
                                    "two=" + start_sim("two"),
                                    "refused=" + start_sim("refused", {"--refuse-flash"})};
  unsetenv("NO_COLOR");
  Station station = start_station(with(slots, {"-p", "-v", "img.bin"}), true, 120);
  std::string output;
  EXPECT_EQ(finish_station(station, output, 60), 1);
  std::vector<std::string> screen = screen_of(output);
  ASSERT_GE(screen.size(), 6u) << output;
  // Rows redrawn in place under their header: three rows, the totals, and each failure whole.
  EXPECT_EQ(screen[0].rfind("slot     port ", 0), 0u) << screen[0];
  EXPECT_EQ(screen[1].rfind("one ", 0), 0u) << screen[1];
  EXPECT_NE(screen[1].find(" 1  finished "), std::string::npos) << screen[1];
  EXPECT_NE(screen[1].find("PASS"), std::string::npos) << screen[1];
  EXPECT_NE(screen[2].find("PASS"), std::string::npos) << screen[2];
  // The reason after the message, as far as the row has room for it, and whole below the rows.
  const std::string failure =
      "FAIL Unable to program img.bin. - the loader refused to program device 5";
  std::string shown = screen[3].substr(std::min(screen[3].find("FAIL"), screen[3].size()));
  EXPECT_EQ(screen[3].size(), 119u) << screen[3];
  EXPECT_GT(shown.size(), failure.find(" - the ") + 4) << screen[3];
  EXPECT_EQ(failure.rfind(shown, 0), 0u) << screen[3];
  EXPECT_EQ(screen[4].rfind("2 passed, 1 failed", 0), 0u) << screen[4];
  EXPECT_EQ(screen[5], "refused: " + failure);
  EXPECT_TRUE(screen.size() == 6 || (screen.size() == 7 && screen[6].empty()));
  // While it ran: the phase, the bar and the rate of the paced slot.
  EXPECT_NE(output.find("burning"), std::string::npos);
  EXPECT_NE(output.find("verifying"), std::string::npos);
  EXPECT_NE(output.find("KiB/s"), std::string::npos);
  EXPECT_NE(output.find("\x1b[32mPASS\x1b[0m"), std::string::npos);
  EXPECT_NE(output.find("\x1b[31mFAIL Unable"), std::string::npos);

  setenv("NO_COLOR", "1", 1);
  Station plain = start_station(with({"gone=" + path("nowhere/COM1")}, {"-p", "img.bin"}), true);
  std::string uncoloured;
  EXPECT_EQ(finish_station(plain, uncoloured, 30), 1);
  unsetenv("NO_COLOR");
  EXPECT_NE(uncoloured.find("FAIL Could not open serial port!"), std::string::npos) << uncoloured;
  EXPECT_EQ(uncoloured.find("\x1b[31m"), std::string::npos);
  EXPECT_EQ(uncoloured.find("\x1b[0m"), std::string::npos);
}

TEST_F(StationTest, RetriesOnlyWhatNeverTouchedTheDeviceAndTimeOutsEndARun) {
  std::vector<std::string> slots = {"silent=" + start_sim("silent", {"--silent", "--serve-forever"}),
                                    "refused=" + start_sim("refused", {"--refuse-flash", "--serve-forever"}),
                                    "absent=" + path("nowhere/COM1")};
  Finished retried = run_station(with(slots, {"-l", "drv.bin", "-p", "img.bin"}));
  EXPECT_EQ(retried.status, 1) << retried.out;
  ASSERT_EQ(records_of("silent").size(), 2u);  // the default: one more attempt
  EXPECT_EQ(records_of("silent")[1]["attempt"], 2);
  EXPECT_EQ(records_of("silent")[1]["last_line"], "Connection timed out!");
  EXPECT_EQ(records_of("absent").size(), 2u);
  EXPECT_EQ(records_of("absent")[1]["last_line"], "Could not open serial port!");
  ASSERT_EQ(records_of("refused").size(), 1u);  // the loader refused: the device was reached
  EXPECT_EQ(records_of("refused")[0]["reason_code"], "REFUSED");
  EXPECT_NE(records_of("refused")[0]["directory"], records_of("silent")[0]["directory"]);

  Finished timed = run_station(with({"--timeout", "2", "silent=" + slots[0].substr(7)},
                                    {"-l", "drv.bin", "-p", "img.bin"}));
  EXPECT_EQ(timed.status, 1);
  std::vector<Json> silent = records_of("silent");
  ASSERT_EQ(silent.size(), 3u) << timed.out;  // a run that timed out is not tried again
  EXPECT_EQ(silent[2]["result"], "TIMEOUT");
  EXPECT_EQ(silent[2]["reason_code"], "TIMEOUT");
  EXPECT_EQ(silent[2]["exit_status"], 143);  // it ended on SIGTERM, as the tool does
  EXPECT_GE(silent[2]["duration_s"].get<double>(), 2.0);
  EXPECT_LT(silent[2]["duration_s"].get<double>(), 5.0);
}

TEST_F(StationTest, LoopServesTheNextBoardOnAReturningPortAndOnEnter) {
  // An adapter per board, each its own device, behind the one name the slot is given (as a
  // /dev/serial/by-path name is): both there at once, so that they are two devices.
  std::string first = start_sim("board", {});  // one session: its port goes when it ends
  std::string next = start_sim("next", {"--serve-forever"});
  const std::string devices[] = {fs::canonical(first), fs::canonical(next)};
  std::string port = path("by-path");
  fs::create_symlink(first, port);
  Station station = start_station(with({"--loop", "a=" + port}, {"-p", "-v", "img.bin"}));
  ASSERT_TRUE(wait_for([&] { return records_of("a").size() == 1; }, 30));
  ASSERT_TRUE(wait_for([&] { return !fs::exists(port); }, 10));
  fs::remove(port);
  fs::create_symlink(next, port);  // the next board's adapter, plugged in
  ASSERT_TRUE(wait_for([&] { return records_of("a").size() == 2; }, 30));
  ASSERT_EQ(write(station.input_fd, "\n", 1), 1);  // a board swapped on a fixed adapter
  ASSERT_TRUE(wait_for([&] { return records_of("a").size() == 3; }, 30));
  kill(station.pid, SIGTERM);
  std::string output;
  EXPECT_EQ(finish_station(station, output, 20), 130) << output;
  std::vector<Json> boards = records_of("a");
  ASSERT_EQ(boards.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(boards[i]["result"], "PASS") << boards[i];
    EXPECT_EQ(boards[i]["board"], i + 1);
    EXPECT_EQ(boards[i]["port"], port);
    EXPECT_EQ(boards[i]["port_device"], devices[i == 0 ? 0 : 1]) << "board " << i + 1;
  }
}

TEST_F(StationTest, RefusedCommandLinesStartNothing) {
  fs::create_symlink(path("img.bin"), path("same.bin"));
  fs::create_symlink("/dev/null", path("other-name"));
  // A port another program listens on, for --http.
  int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), size), 0);
  ASSERT_EQ(listen(taken, 1), 0);
  getsockname(taken, reinterpret_cast<sockaddr*>(&address), &size);
  std::string in_use = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  const std::string http_form = "--http takes ADDRESS:PORT, an IPv4 address or an [IPv6] address";
  const std::pair<std::vector<std::string>, std::string> refused[] = {
      {{"--http", "localhost:8080", "a=/dev/null", "--", "img.bin"}, http_form},
      {{"--http", "::1:8080", "a=/dev/null", "--", "img.bin"}, http_form},
      {{"--http", "127.1:8080", "a=/dev/null", "--", "img.bin"}, http_form},
      {{"--http", "[::1]:65536", "a=/dev/null", "--", "img.bin"}, "a port from 0 to 65535"},
      {{"--http", "192.0.2.1:0", "a=/dev/null", "--", "img.bin"},
       "cannot listen on 192.0.2.1:0: Cannot assign requested address"},
      {{"--http", in_use, "a=/dev/null", "--", "img.bin"},
       "cannot listen on " + in_use + ": Address already in use"},
      {{"--fast", "a=/dev/null", "--", "img.bin"}, "unknown option --fast"},
      {{"a=/dev/null", "img.bin"}, "\"--\" must come"},
      {{"a=/dev/null", "b=" + path("other-name"), "--", "img.bin"}, "lead to one port, /dev/null"},
      {{"a=/dev/null", "--", "-p", "-v"}, "no image"},
      {{"a=/dev/null", "--", "-l", "missing.bin", "-p", "img.bin"},
       "cannot read the driver missing.bin: No such file or directory"},
      {{"a=/dev/null", "--", "-p", "sims"}, "cannot read the image sims"},
      {{"--backup", "a=/dev/null", "--", "-v", "img.bin"}, "the tool's arguments have no -p"},
      {{"--read-tool", "r", "a=/dev/null", "--", "-p", "img.bin"},
       "--read-tool goes with --backup"},
  };
  fs::create_directory(path("sims"));
  for (const auto& [arguments, why] : refused) {
    Finished station = run_station(arguments);
    EXPECT_EQ(station.status, 2) << why;
    EXPECT_EQ(station.err.find('\n'), station.err.size() - 1) << station.err;  // one line
    EXPECT_NE(station.err.find(why), std::string::npos) << station.err;
    EXPECT_FALSE(fs::exists(path("runs/a"))) << why;
  }
  close(taken);
  // --version is no slot: it says the version and starts nothing.
  Finished version = run_station({"--version", "a=/dev/null"});
  EXPECT_EQ(version.status, 0) << version.err;
  EXPECT_EQ(version.out, "xarveld-station " + std::string(XARVELD_VERSION) + "\n");
  EXPECT_FALSE(fs::exists(path("runs")));
  // An argument the tool itself refuses fails every slot with the tool's own message; with
  // --jobs 1 one run after the other.
  std::vector<std::string> slots = {"--jobs", "1", "a=" + start_sim("a"), "b=" + start_sim("b")};
  Finished station = run_station(with(slots, {"-b", "9600", "-p", "img.bin"}));
  EXPECT_EQ(station.status, 1);
  std::vector<Json> all = records();
  ASSERT_EQ(all.size(), 2u);
  for (const Json& record : all) {
    EXPECT_EQ(record["result"], "FAIL");
    EXPECT_EQ(record["last_line"], "Incorrect baud rate. Must be 19200, 57600 or 115200.");
  }
  EXPECT_GE(all[1]["start"].get<std::string>(), all[0]["end"].get<std::string>());
}

TEST_F(StationTest, ARecordThatCannotBeWrittenOrAFailingHashRefusesToStart) {
  fs::create_directory(path("record-dir"));
  std::ofstream(path("read-only.jsonl")) << "";
  fs::permissions(path("read-only.jsonl"), fs::perms::owner_read | fs::perms::group_read |
                                               fs::perms::others_read);
  // Root writes a read-only file all the same: it is tried as nobody, who may enter the directory.
  fs::permissions(dir, fs::perms::all);
  std::vector<std::string> as_user;
  if (geteuid() == 0) as_user = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"};
  // With only a FIPS provider asked for and none there, libcrypto refuses SHA-256.
  std::ofstream(path("no-sha256.cnf"))
      << "openssl_conf = init\n[init]\nalg_section = evp\n[evp]\ndefault_properties = fips=yes\n";
  struct Case {
    const char* record;  // what station-record.jsonl links to; none: no record there
    std::vector<std::string> launcher;
    std::string why;
    bool read_only_directory = false;
  };
  const Case cases[] = {
      {"record-dir", {}, "station-record.jsonl cannot be written: Is a directory"},
      {"read-only.jsonl", as_user, "station-record.jsonl cannot be written: Permission denied"},
      {"record-dir/made-through-a-link.jsonl", {},
       "station-record.jsonl cannot be written: a symbolic link to no file, which the station "
       "does not create"},
      {nullptr, as_user, "station-record.jsonl cannot be written: Permission denied", true},
      {nullptr, {"env", "OPENSSL_CONF=" + path("no-sha256.cnf")},
       "cannot take the SHA-256 of the image img.bin: libcrypto EVP_Digest failed: "},
  };
  // The record is made for the line's group to share, less what the umask takes.
  mode_t umask_before = umask(002);
  for (const Case& c : cases) {
    if (fs::is_symlink(path("station-record.jsonl"))) fs::remove(path("station-record.jsonl"));
    if (c.record != nullptr) fs::create_symlink(c.record, path("station-record.jsonl"));
    if (c.read_only_directory) {
      fs::permissions(dir, fs::perms::owner_write | fs::perms::group_write |
                               fs::perms::others_write, fs::perm_options::remove);
    }
    launcher = c.launcher;
    Finished station = run_station({"a=/dev/null", "--", "-p", "img.bin"});
    fs::permissions(dir, fs::perms::all);
    EXPECT_EQ(station.status, 2) << c.why << station.out;
    EXPECT_EQ(station.err.find('\n'), station.err.size() - 1) << station.err;  // one line
    EXPECT_NE(station.err.find(c.why), std::string::npos) << station.err;
    EXPECT_FALSE(fs::exists(path("runs/a"))) << c.why;
  }
  umask(umask_before);
  EXPECT_FALSE(fs::exists(path("record-dir/made-through-a-link.jsonl")));
  EXPECT_EQ(fs::status(path("station-record.jsonl")).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                fs::perms::group_write | fs::perms::others_read);
}

TEST_F(StationTest, ARecordLostMidShiftStartsNoNewBoardAndNamesWhatIsMissing) {
  std::ofstream(path("tiny.bin")) << std::string(100, 'x');
  const std::vector<std::string> tool = {"-p", "tiny.bin"};
  // A first station writes one line whole, which gives a line's length.
  run_station(with({"--retries", "0", "a=" + path("nowhere/a")}, tool));
  ASSERT_EQ(records().size(), 1u);
  auto line = fs::file_size(path("station-record.jsonl"));
  // Under this limit on the size of a file, one more line fits and the one after it does not.
  launcher = {"prlimit", "--fsize=" + std::to_string(line * 2 + line / 2)};

  // a fails at once and is tried again, which the record no longer takes; b runs on (a board
  // that never answers) until interrupted; c, waiting for a job, never starts.
  std::string b_port = start_sim("b", {"--silent", "--serve-forever"});
  Station station = start_station(
      with({"--jobs", "2", "a=" + path("nowhere/a"), "b=" + b_port, "c=" + path("nowhere/c")}, tool),
      true, 160);
  std::string output;
  const std::string lost = "station-record.jsonl cannot be written: File too large; no new board starts";
  auto times_drawn = [&] {
    read_output(station, output);
    std::size_t count = 0;
    for (std::size_t at = output.find(lost); at != std::string::npos; at = output.find(lost, at + 1)) ++count;
    return count;
  };
  // Drawn again with every redraw, b's clock ticking on.
  EXPECT_TRUE(wait_for([&] { return times_drawn() >= 3; }, 30)) << output;
  kill(station.pid, SIGINT);
  // The loss outranks the interrupt.
  EXPECT_EQ(finish_station(station, output, 20), 1) << output;
  std::vector<std::string> screen = screen_of(output);
  ASSERT_GE(screen.size(), 11u) << output;
  // c's board was never burnt, and its row says so rather than a result.
  const std::string never = "NOT BURNT not started: the record cannot be written";
  EXPECT_NE(screen[3].find(never), std::string::npos) << screen[3];
  EXPECT_EQ(screen[5], lost + ", 2 attempts not recorded");
  EXPECT_EQ(screen[8], "c: " + never);
  EXPECT_EQ(screen[9], "not in station-record.jsonl: a board 1 attempt 2 FAIL");
  EXPECT_EQ(screen[10], "not in station-record.jsonl: b board 1 attempt 1 ABORTED");
  EXPECT_FALSE(fs::exists(path("runs/c")));
  ASSERT_EQ(records().size(), 2u);  // every line whole: a's first attempt, and no piece of its second

  // Not on a terminal: an event line, no retry, and the summary names the attempt.
  Finished plain = run_station(with({"--jobs", "1", "a=" + path("nowhere/a"), "c=" + path("nowhere/c")}, tool));
  EXPECT_EQ(plain.status, 1);
  EXPECT_NE(plain.out.find(" a NOT RECORDED board 1 attempt 1 FAIL: " + lost + "\n"),
            std::string::npos) << plain.out;
  EXPECT_NE(plain.out.find("\nnot in station-record.jsonl: a board 1 attempt 1 FAIL\n"),
            std::string::npos) << plain.out;
  EXPECT_EQ(plain.out.find(" a start board 1 attempt 2 "), std::string::npos) << plain.out;
  EXPECT_EQ(plain.out.find(" c start "), std::string::npos) << plain.out;
  EXPECT_EQ(records().size(), 2u);

  // Room again: the next line is whole after the last, not glued to a piece of a line.
  launcher.clear();
  run_station(with({"--retries", "0", "a=" + path("nowhere/a")}, tool));
  EXPECT_EQ(records().size(), 3u);
}

// Processes of the group led by the pid in pid_file that have not ended (zombies aside).
int live_in_group(const std::string& pid_file) {
  std::string leader = read_text(pid_file);
  if (leader.empty()) return -1;
  int live = 0;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::string pid = entry.path().filename();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string stat = read_text(entry.path() / "stat");
    std::size_t name_end = stat.rfind(')');
    if (name_end == std::string::npos) continue;
    std::istringstream fields(stat.substr(name_end + 2));
    std::string state, parent, group;
    fields >> state >> parent >> group;
    live += state != "Z" && group + "\n" == leader;
  }
  return live;
}

TEST_F(StationTest, AWrapperToolEndsWithTheToolItRuns) {
  // A wrapper as a line writes one: the tool its child, not exec'd, and kept from a closed
  // terminal, so that only a signal the tool itself gets ends it.
  std::string wrapper = write_script(path("wrapper.sh"), std::string("trap '' HUP\necho $$ > wrapper.pid\n") +
                                                             XARVELD_TOOL_PATH + " \"$@\"\nstatus=$?\nexit $status\n");
  std::string port = start_sim("a", {"--pace", "19200", "--serve-forever"});
  Finished timed = run_station(with({"--tool", wrapper, "--timeout", "2", "a=" + port},
                                    {"-p", "-v", "img.bin"}), 10);
  EXPECT_FALSE(timed.timed_out) << "the station did not end";
  ASSERT_EQ(records_of("a").size(), 1u) << timed.out;
  Json record = records_of("a")[0];
  EXPECT_EQ(record["result"], "TIMEOUT");
  std::string directory = path(record["directory"]);
  EXPECT_TRUE(wait_for([&] { return live_in_group(directory + "/wrapper.pid") == 0; }, 5));

  Station station = start_station(with({"--tool", wrapper, "a=" + port}, {"-p", "-v", "img.bin"}));
  ASSERT_TRUE(wait_for([&] {
    for (const auto& run : fs::directory_iterator(path("runs/a"))) {
      if (run.path() == directory) continue;
      directory = run.path();
      return read_text(directory + "/stdout.txt").find("Burning flash..") != std::string::npos;
    }
    return false;
  }, 30));
  kill(station.pid, SIGINT);
  std::string output;
  EXPECT_EQ(finish_station(station, output, 10), 130) << output;
  ASSERT_EQ(records_of("a").size(), 2u);
  record = records_of("a")[1];
  EXPECT_EQ(record["result"], "ABORTED");
  EXPECT_EQ(record["exit_status"], 130);  // the wrapper's, which ended as its tool did
  // The tool itself ended on the interrupt, its trace written out.
  EXPECT_NE(read_text(directory + "/log.txt").find("\r\nCommand: f501 "), std::string::npos);
  EXPECT_TRUE(wait_for([&] { return live_in_group(directory + "/wrapper.pid") == 0; }, 5));

  // A wrapper that has ended leaves something holding its output: it is ended 3 s later.
  std::string leaver = write_script(path("leaver.sh"), std::string("trap '' HUP\nsleep 60 &\necho $$ > wrapper.pid\n") +
                                                           XARVELD_TOOL_PATH + " \"$@\"\nexit $?\n");
  Finished left = run_station(with({"--tool", leaver, "--retries", "0", "b=" + path("nowhere/b")},
                                   {"-p", "img.bin"}), 10);
  EXPECT_FALSE(left.timed_out) << "the station did not end";
  ASSERT_EQ(records_of("b").size(), 1u) << left.out;
  EXPECT_EQ(records_of("b")[0]["last_line"], "Could not open serial port!");
  directory = path(records_of("b")[0]["directory"]);
  EXPECT_TRUE(wait_for([&] { return live_in_group(directory + "/wrapper.pid") == 0; }, 5));

  // What it writes in those 3 s, as fast as it is taken, is in stdout.txt whole.
  std::string writer = write_script(path("writer.sh"), std::string("trap '' HUP\n(sleep 0.2; seq 20000; sleep 60) &\n") +
                                                           XARVELD_TOOL_PATH + " \"$@\"\nexit $?\n");
  run_station(with({"--tool", writer, "--retries", "0", "c=" + path("nowhere/c")}, {"-p", "img.bin"}), 10);
  ASSERT_EQ(records_of("c").size(), 1u);
  std::string numbers;
  for (int i = 1; i <= 20000; ++i) numbers += std::to_string(i) + "\n";
  EXPECT_EQ(read_text(path(records_of("c")[0]["directory"]) + "/stdout.txt"),
            "Could not open serial port!\r\n" + numbers);
}

TEST_F(StationTest, ABackupKeepsWhatTheBoardHeldBeforeItIsBurnt) {
  // More than the image: only what the burn overwrites is kept; device 3, not the default.
  std::string held = image.substr(0, 20000) + std::string(20000, '\x5a');
  std::ofstream(path("held.bin"), std::ios::binary) << held;
  std::string port = start_sim("a", {"--load", "3=" + path("held.bin"), "--serve-forever"});
  const std::vector<std::string> burn = {"-l", "drv.bin", "-d", "3", "-b", "115200", "-p",
                                        "img.bin"};
  Finished station =
      run_station(with({"--backup", "--read-tool", XARVELD_READ_PATH, "a=" + port}, burn));
  stop_sims();
  EXPECT_EQ(station.status, 0) << station.out << station.err;
  ASSERT_EQ(records_of("a").size(), 1u);
  Json record = records_of("a")[0];
  EXPECT_EQ(record["result"], "PASS") << record;
  std::string before = path(record["directory"].get<std::string>() + "/before.bin");
  EXPECT_EQ(read_text(before), held.substr(0, image.size()));
  EXPECT_EQ(fs::status(before).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  EXPECT_EQ(record["backup_sha256"], sha256_of(held.substr(0, image.size())));
  // Read as the burn writes: after the same driver load.
  EXPECT_NE(read_text(path(record["directory"].get<std::string>() + "/backup-stderr.txt"))
                .find("Loading driver to SRAM"),
            std::string::npos);
  // The read's trace is kept apart from the tool's.
  EXPECT_NE(read_text(path(record["directory"].get<std::string>() + "/backup-log.txt"))
                .find("Command: "),
            std::string::npos);
  EXPECT_EQ(read_text(path("sims/a/dump/device3.bin")).substr(0, image.size()), image);
}

TEST_F(StationTest, OutputNobodyReadsNeverHoldsTheStationUp) {
  std::vector<std::string> slots = {"--loop", "--retries", "100",
                                    "a=" + start_sim("a", {"--pace", "19200", "--serve-forever"})};
  for (const char* absent : {"x0", "x1", "x2", "x3"}) {
    slots.push_back(std::string(absent) + "=" + path(std::string("nowhere/") + absent));
  }
  Station station = start_station(with(slots, {"-p", "-v", "img.bin"}));
  // Read by nobody, and small: the failed attempts' lines alone are twenty times what it holds.
  ASSERT_GE(fcntl(station.output_fd, F_SETPIPE_SZ, 4096), 0);
  ASSERT_TRUE(wait_for([&] {
    if (records().size() < 4 * 101 || !fs::exists(path("runs/a"))) return false;
    std::string run = fs::directory_iterator(path("runs/a"))->path();
    return read_text(run + "/stdout.txt").find("Burning flash..") != std::string::npos;
  }, 30)) << records().size() << " attempts recorded";
  kill(station.pid, SIGINT);
  int raw = 0;
  ASSERT_TRUE(wait_for([&] { return waitpid(station.pid, &raw, WNOHANG) == station.pid; }, 10))
      << "the station did not end";
  EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 130) << raw;
  EXPECT_EQ(records().size(), 4u * 101 + 1);
  ASSERT_EQ(records_of("a").size(), 1u);
  EXPECT_EQ(records_of("a")[0]["result"], "ABORTED");
  EXPECT_EQ(records_of("a")[0]["exit_status"], 130);

  // A terminal nobody reads: its buffer fills with the rows of forty slots, and takes less than a
  // drawing while it still polls writable. The time-out still ends the run.
  slots = {"--timeout", "5", "--retries", "0", "t=" + path("sims/a/COM1")};
  for (int i = 0; i < 40; ++i) {
    std::string name = std::string(1, 'y').append(std::to_string(i));
    slots.push_back(name + "=" + path("nowhere/" + name));
  }
  Station terminal = start_station(with(slots, {"-p", "-v", "img.bin"}), true, 200);
  ASSERT_TRUE(wait_for([&] { return waitpid(terminal.pid, &raw, WNOHANG) == terminal.pid; }, 20))
      << "the station did not end";
  EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 1) << raw;
  ASSERT_EQ(records_of("t").size(), 1u);
  EXPECT_EQ(records_of("t")[0]["result"], "TIMEOUT");
}

TEST_F(StationTest, AToolGetsItsStandardDescriptorsAndNothingElse) {
  // The tool lists what it was given, then runs; another attempt's files are open in the station
  // the while, and so is a file the station itself inherited. What it leaves behind says one more
  // line on standard error after the tool has ended: the station waits for it. The station's
  // environment holds the ledger's password, which no tool gets.
  launcher = {"env", "PGPASSWORD=secret", "PGHOST=db", "NOT_PG=kept"};
  std::string lister = write_script(
      path("lister.sh"), std::string("ls -l /proc/self/fd/ > fds.txt\nenv > env.txt\ntrap '' HUP\n"
                                     "(sleep 1; echo said late >&2) >/dev/null &\n"
                                     "exec ") + XARVELD_TOOL_PATH + " \"$@\"\n");
  int inherited = open(path("inherited.txt").c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(inherited, 0);
  Finished station = run_station(with({"--tool", lister, "--retries", "0", "a=" + path("nowhere/a"),
                                       "b=" + path("nowhere/b"), "c=" + start_sim("c")},
                                      {"-p", "img.bin"}));
  close(inherited);
  EXPECT_EQ(station.status, 1) << station.out << station.err;
  ASSERT_EQ(records().size(), 3u);
  for (const Json& record : records()) {
    std::string directory = path(record["directory"]);
    std::string errors = read_text(directory + "/stderr.txt");
    EXPECT_EQ(errors.find("said late\n"), errors.size() - 10) << errors;
    EXPECT_EQ(record["reason"], record["result"] == "PASS" ? Json(nullptr) : Json("said late"));
    std::map<std::string, std::string> given;
    std::istringstream listing(read_text(directory + "/fds.txt"));
    std::string line;
    while (std::getline(listing, line)) {
      std::size_t arrow = line.find(" -> ");
      if (arrow == std::string::npos) continue;
      std::string target = line.substr(arrow + 4);
      if (target.rfind("/proc/", 0) == 0) continue;  // ls reading the listing itself
      std::size_t number = line.rfind(' ', arrow - 1);
      given[line.substr(number + 1, arrow - number - 1)] = target;
    }
    std::string environment = "\n" + read_text(directory + "/env.txt");
    EXPECT_EQ(environment.find("\nPG"), std::string::npos) << environment;
    EXPECT_NE(environment.find("\nNOT_PG=kept\n"), std::string::npos) << environment;
    // Standard error is a terminal of its own, so that the tool explains its failures.
    EXPECT_EQ(given["2"].rfind("/dev/pts/", 0), 0u) << given["2"];
    given.erase("2");
    EXPECT_EQ(given, (std::map<std::string, std::string>{{"0", "/dev/null"},
                                                         {"1", directory + "/fds.txt"}}))
        << read_text(directory + "/fds.txt");
  }
}

}  // namespace
}  // namespace xarveld::station_test

namespace xarveld::station_test {
namespace {

// The Windows build under Wine, run by scripts/wine-e2e, which maps Wine's COM1 to a fixed link
// and COM2 to COM9 to nothing that opens. Wine's pseudo console carries no output, so the
// station takes the tool's output through a pipe, at its end: what is checked is everything
// else, the directories, the copies, the records and the results at the end.
TEST_F(StationTest, WindowsBuildUnderWineRecordsEveryAttempt) {
  const char* station = std::getenv("XARVELD_STATION_WINE_EXE");
  const char* tool = std::getenv("XARVELD_STATION_WINE_TOOL");
  const char* com1_link = std::getenv("XARVELD_E2E_COM1_LINK");
  if (station == nullptr || tool == nullptr || com1_link == nullptr) {
    GTEST_SKIP() << "scripts/wine-e2e runs this case against xarveld-station.exe";
  }
  std::string port = start_sim("a");
  fs::remove(com1_link);
  fs::create_symlink(fs::read_symlink(port), com1_link);
  std::string windows_tool = std::string("Z:") + tool;
  std::replace(windows_tool.begin(), windows_tool.end(), '/', '\\');
  Finished run = e2e::run_to_end({"wine", station, "--tool", windows_tool, "a=COM1", "b=COM2",
                                  "--", "-p", "-v", "img.bin"},
                                 dir, 120);
  stop_sims();
  EXPECT_EQ(run.status, 1) << run.out << run.err;
  EXPECT_NE(run.out.find(" a PASS board 1 attempt 1 "), std::string::npos) << run.out << run.err;
  std::vector<Json> a = records_of("a");
  ASSERT_EQ(a.size(), 1u) << run.out;
  EXPECT_EQ(a[0]["result"], "PASS");
  EXPECT_EQ(a[0]["port_device"], "COM1");
  EXPECT_EQ(a[0]["tool_command"][0], "-c");
  EXPECT_EQ(a[0]["tool_command"][1], "1");
  EXPECT_EQ(a[0]["images"][0]["sha256"], sha256_of(image));
  std::string run_directory = path(a[0]["directory"]);
  std::string output = read_text(run_directory + "/stdout.txt");
  EXPECT_EQ(output.rfind("Serial port opened...\r\n", 0), 0u) << output;
  EXPECT_NE(output.find("\rVerification Successful\r\nConnection closed.\r\n"), std::string::npos);
  EXPECT_EQ(a[0]["log_sha256"], sha256_of(read_text(run_directory + "/log.txt")));
  EXPECT_EQ(read_text(path("sims/a/dump/device5.bin")), image);
  std::vector<Json> b = records_of("b");
  ASSERT_EQ(b.size(), 2u);  // the port could not be opened: tried once more
  EXPECT_EQ(b[1]["last_line"], "Could not open serial port!");
  EXPECT_NE(b[0]["directory"], b[1]["directory"]);
}

}  // namespace
}  // namespace xarveld::station_test
