// Serial numbers from the ledger: real stations, real tools, real simulated targets, and the
// ledger in a real SQLite file or a real PostgreSQL server.
#include <signal.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "tests/station/station_fixture.hpp"
#include "tests/support/postgres_server.hpp"

namespace xarveld::station_test {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr std::size_t AT = 0x100;  // where the number goes in small.bin, u32le

std::vector<std::string> numbered(std::vector<std::string> station, const std::string& range,
                                  const std::vector<std::string>& tool = {"-p", "-v", "small.bin"}) {
  station.insert(station.begin(), {"--serial-at", "0x100", "--serial-format", "u32le",
                                   "--serial-range", range});
  station.push_back("--");
  station.insert(station.end(), tool.begin(), tool.end());
  return station;
}

// One statement on the SQLite ledger beside the record; the first row's first value, or "".
std::string sqlite_value(const std::string& file, const std::string& sql) {
  sqlite3* db = nullptr;
  std::string value;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_text(statement, 0) != nullptr) {
      value = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    }
    sqlite3_finalize(statement);
  }
  EXPECT_NE(db, nullptr);
  sqlite3_close(db);
  return value;
}

std::uint32_t number_in(const std::string& dump) {
  if (dump.size() < AT + 4) return 0;
  std::uint32_t n = 0;
  for (int i = 3; i >= 0; --i) n = n << 8 | static_cast<unsigned char>(dump[AT + i]);
  return n;
}

class SerialsTest : public StationTest {
 protected:
  void SetUp() override {
    StationTest::SetUp();
    small = image.substr(0, 2048);
    std::ofstream(path("small.bin"), std::ios::binary) << small;
    make_ledger();
  }
  // The ledger the case's stations use, made once as a line makes it.
  void make_ledger() {
    std::vector<std::string> command = ledger;
    command.push_back("--new-ledger");
    Finished made = run_station(command);
    EXPECT_EQ(made.status, 0) << made.err;
  }
  // A cluster of the case's own; empty location when the server is not installed.
  void start_postgres() {
    std::string why;
    if (test::postgres_binaries().empty()) GTEST_SKIP() << "the PostgreSQL server is not installed";
    ASSERT_TRUE(test::postgres_create(server, why)) << why;
    ASSERT_TRUE(test::postgres_create_database(server, "ledger", why)) << why;
    ledger = {"--ledger", test::postgres_location(server, "ledger")};
    make_ledger();
  }
  void TearDown() override {
    StationTest::TearDown();
    test::postgres_destroy(server);
  }
  // --report --csv of this case's ledger, its fields by serial (none here needs quotes).
  std::map<std::uint64_t, std::vector<std::string>> uses() {
    std::vector<std::string> command = ledger;
    command.insert(command.end(), {"--report", "--csv"});
    Finished report = run_station(command);
    EXPECT_EQ(report.out.rfind("pool,serial,state,attempt_id,", 0), 0u) << report.err;
    std::map<std::uint64_t, std::vector<std::string>> by_serial;
    std::istringstream lines(report.out.substr(report.out.find('\n') + 1));
    for (std::string line, cell; std::getline(lines, line, '\r') && lines.get() == '\n';) {
      std::vector<std::string> fields;
      for (std::istringstream cells(line); std::getline(cells, cell, ',');) fields.push_back(cell);
      by_serial[std::stoull(fields.at(1))] = fields;
    }
    return by_serial;
  }
  std::vector<std::string> with_ledger(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), ledger.begin(), ledger.end());
    return arguments;
  }

  std::string small;
  test::PostgresServer server;
  std::vector<std::string> ledger;  // empty: the SQLite file beside the record, XARVELD_LEDGER
};

class SerialsOnEveryLedger : public SerialsTest, public ::testing::WithParamInterface<bool> {};

// Three stations of one PC (one record, one runs/, one ledger), 8 boards each, twice: every
// board that passed holds its own number, and the dumps, the record and the ledger agree.
TEST_P(SerialsOnEveryLedger, ThreeStationsEightBoardsEachTwiceNoNumberTwice) {
  if (GetParam()) start_postgres();
  if (HasFatalFailure() || IsSkipped()) return;
  std::map<std::string, std::string> sim_of_slot;
  for (int round = 0; round < 2; ++round) {
    std::vector<Station> running;
    for (char s : {'x', 'y', 'z'}) {
      std::vector<std::string> slots;
      for (int b = 0; b < 8; ++b) {
        std::string slot = std::string(1, s) + std::to_string(b);
        std::string sim = slot + "-" + std::to_string(round);
        slots.push_back(slot + "=" + start_sim(sim));
        sim_of_slot[slot + "/" + std::to_string(round + 1)] = sim;
      }
      running.push_back(start_station(with_ledger(numbered(slots, "5000-5999"))));
    }
    for (Station& station : running) {
      std::string output;
      EXPECT_EQ(finish_station(station, output, 120), 0) << output;
    }
    stop_sims();
  }
  std::vector<Json> all = records();
  ASSERT_EQ(all.size(), 48u);
  std::map<std::uint64_t, std::vector<std::string>> ledger_uses = uses();
  std::set<std::uint64_t> serials;
  std::map<std::string, int> boards;  // each slot's n-th board: the run it was in
  for (const Json& record : all) {
    ASSERT_EQ(record["result"], "PASS") << record;
    std::string slot = record["slot"];
    std::uint64_t serial = record["serial"];
    serials.insert(serial);
    std::string sim = sim_of_slot[slot + "/" + std::to_string(++boards[slot])];
    std::string dump = read_text(path("sims/" + sim + "/dump/device5.bin"));
    EXPECT_EQ(number_in(dump), serial) << slot;
    EXPECT_EQ(record["image_sha256_burnt"], sha256_of(dump));
    EXPECT_EQ(record["images"][0]["sha256"], sha256_of(small));
    EXPECT_TRUE(record["ledger_error"].is_null());
    std::vector<std::string> use = ledger_uses[serial];
    ASSERT_EQ(use.size(), 9u) << serial;
    EXPECT_EQ(use[2], "used");
    EXPECT_EQ(use[3], record["attempt_id"]);
    EXPECT_EQ(use[6], slot);
  }
  EXPECT_EQ(serials.size(), 48u);
  EXPECT_EQ(ledger_uses.size(), 48u);
  std::vector<std::string> command = ledger;
  command.push_back("--report");
  Finished report = run_station(command);
  EXPECT_NE(report.out.find("small.bin       5000       5999         48          0          0"
                            "          0        952              0\n"), std::string::npos)
      << report.out;
  // Every board passed at its first attempt, all on this PC's one station name.
  command.insert(command.end(), {"--yield", "--by", "station", "--since", "1d", "--csv"});
  Finished yield = run_station(command);
  EXPECT_EQ(yield.out, "group,boards,attempts,first_pass,final_pass\r\n" +
                           all[0]["host"].get<std::string>() + ",48,48,48,48\r\n" +
                           "total,48,48,48,48\r\n")
      << yield.err;
  Finished pareto = run_station(with_ledger({"--report", "--pareto", "--csv"}));
  EXPECT_EQ(pareto.out, "reason_code,attempts,share\r\n") << pareto.err;
  if (!GetParam()) {
    EXPECT_TRUE(fs::exists(path("station-ledger.sqlite")));
  } else {
    EXPECT_EQ(test::postgres_value(ledger[1], "SELECT count(DISTINCT attempt_id) FROM attempts"
                                              " WHERE record LIKE '{\"host\":%'"), "48");
  }
}

INSTANTIATE_TEST_SUITE_P(Ledgers, SerialsOnEveryLedger, ::testing::Values(false, true),
                         [](const auto& p) { return p.param ? "PostgreSQL" : "SQLite"; });

// A board whose adapter is pulled before the first block gives its number back, and the next
// board burns it; one pulled mid-burn spoils it. A range of two then has none for the third.
TEST_F(SerialsTest, PulledBoardsReturnOrSpoilAndAnExhaustedPoolStartsNoBoard) {
  std::vector<std::string> slots = {"--jobs", "1", "--retries", "0",
                                    "early=" + start_sim("early", {"--hangup-after", "50e:1"}),
                                    "mid=" + start_sim("mid", {"--hangup-after", "501:200"}),
                                    "good=" + start_sim("good"), "late=" + start_sim("late")};
  Finished station = run_station(numbered(slots, "7-8", {"-l", "drv.bin", "-p", "small.bin"}));
  stop_sims();
  EXPECT_EQ(station.status, 1) << station.out;
  EXPECT_NE(station.err.find("numbers are burnt unverified"), std::string::npos) << station.err;
  EXPECT_NE(station.out.find("pool small.bin (7-8) is exhausted; no new board starts"),
            std::string::npos) << station.out;
  EXPECT_EQ(records_of("early").at(0)["serial"], 7);
  EXPECT_EQ(records_of("mid").at(0)["serial"], 7);  // given back, handed out again
  EXPECT_EQ(records_of("good").at(0)["serial"], 8);
  EXPECT_EQ(number_in(read_text(path("sims/good/dump/device5.bin"))), 8u);
  EXPECT_TRUE(records_of("late").empty());
  EXPECT_FALSE(fs::exists(path("runs/late")));
  // Its row says it was never burnt, not a result it never had.
  EXPECT_NE(station.out.find("NOT BURNT 0 passed, 0 failed: not started: no number from the ledger"),
            std::string::npos) << station.out;
  std::map<std::uint64_t, std::vector<std::string>> ledger_uses = uses();
  ASSERT_EQ(ledger_uses.size(), 2u);
  EXPECT_EQ(ledger_uses[7][2], "spoiled");
  EXPECT_EQ(ledger_uses[7][3], records_of("mid")[0]["attempt_id"]);
  EXPECT_EQ(ledger_uses[8][2], "used");
}

// A station killed mid-burn leaves its numbers reserved; the next station spoils them and
// never hands them out again, and every board the first one finished keeps its record.
TEST_F(SerialsTest, AStationKilledMidBurnSpoilsItsNumbersAndLosesNothingElse) {
  std::vector<std::string> slots = {"fast=" + start_sim("fast")};
  for (const char* slow : {"s1", "s2"}) slots.push_back(std::string(slow) + "=" + start_sim(slow, {"--pace", "9600"}));
  Station station = start_station(numbered(slots, "1-100"));
  ASSERT_TRUE(wait_for([&] {
    int burning = 0;
    for (const char* slow : {"s1", "s2"}) {
      if (!fs::exists(path(std::string("runs/") + slow))) continue;
      for (const auto& run : fs::directory_iterator(path(std::string("runs/") + slow)))
        burning += read_text(run.path() / "stdout.txt").find("Burning flash..") != std::string::npos;
    }
    return burning == 2 && records().size() == 1;
  }, 30));
  kill(station.pid, SIGKILL);
  std::string output;
  EXPECT_EQ(finish_station(station, output, 10), 128 + SIGKILL);  // reaped: its pid is gone
  stop_sims();

  std::vector<std::string> again;
  for (const char* name : {"n1", "n2"}) again.push_back(std::string(name) + "=" + start_sim(name));
  Finished next = run_station(numbered(again, "1-100"));
  EXPECT_EQ(next.status, 0) << next.out;
  std::map<std::uint64_t, std::vector<std::string>> ledger_uses = uses();
  ASSERT_EQ(ledger_uses.size(), 5u);
  std::uint64_t fast = records_of("fast").at(0)["serial"];
  for (auto& [serial, use] : ledger_uses) {
    bool first_station = serial <= 3;
    EXPECT_EQ(use[2], first_station && serial != fast ? "spoiled" : "used") << serial;
  }
  EXPECT_GT(records_of("n1").at(0)["serial"], 3);
  EXPECT_GT(records_of("n2").at(0)["serial"], 3);
  EXPECT_EQ(ledger_uses.at(fast).at(8), "PASS");  // its attempt's row, settled with its number
  EXPECT_EQ(records().size(), 3u);
  // The successor says what it found, and the CSV tells where each spoiled number was.
  std::size_t said = next.out.find("spoiled 2 numbers a station that is gone had reserved (host ");
  EXPECT_NE(said, std::string::npos) << next.out;
  for (auto& [serial, use] : ledger_uses) {
    if (use[2] != "spoiled") continue;
    EXPECT_TRUE(use[6] == "s1" || use[6] == "s2") << serial;
    EXPECT_EQ(use[7], "1") << serial;  // board
    EXPECT_NE(next.out.find(std::to_string(serial) + " (" + use[6] + " board 1)", said),
              std::string::npos) << next.out;
  }
}

// A board that takes longer than a lease: its station renews the lease, so another station that
// reserves meanwhile leaves its number alone.
TEST_F(SerialsTest, ABoardLongerThanALeaseKeepsItsNumber) {
  Station slow = start_station(numbered({"slow=" + start_sim("slow", {"--pace", "1800"})}, "1-9",
                                        {"-p", "small.bin"}));
  ASSERT_TRUE(wait_for([&] { return fs::exists(path("runs/slow")); }, 10));
  // As if its lease had run out while the board burns: only a renewal by the running station
  // keeps the next station from spoiling its number.
  const std::string file = path("station-ledger.sqlite");
  sqlite_value(file, "UPDATE stations SET lease_until_unix_ms = 0");
  auto now_ms = [] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch()).count();
  };
  EXPECT_TRUE(wait_for([&] {
    std::string lease = sqlite_value(file, "SELECT min(lease_until_unix_ms) FROM stations");
    return !lease.empty() && std::stoll(lease) > now_ms();
  }, 10)) << "the lease was not renewed";
  ASSERT_TRUE(records().empty()) << "the slow board ended too soon for the case";
  Finished other = run_station(numbered({"fast=" + start_sim("fast")}, "1-9", {"-p", "small.bin"}));
  EXPECT_EQ(other.status, 0) << other.out;
  std::string output;
  EXPECT_EQ(finish_station(slow, output, 60), 0) << output;
  std::map<std::uint64_t, std::vector<std::string>> ledger_uses = uses();
  EXPECT_EQ(ledger_uses[1][2], "used");
  EXPECT_EQ(ledger_uses[1][6], "slow");
}

// The server stopped mid-shift: the boards that end keep their writes until it is back, the
// queued ones wait for a number and show it, and every attempt is in the ledger once.
TEST_F(SerialsTest, PostgresStoppedMidShiftBoardsWaitAndNoRowIsLostOrDoubled) {
  start_postgres();
  if (HasFatalFailure() || IsSkipped()) return;
  std::vector<std::string> slots = {"--jobs", "2"};
  for (const char* name : {"a", "b", "c", "d"})
    slots.push_back(std::string(name) + "=" + start_sim(name, {"--pace", "38400"}));
  Station station = start_station(with_ledger(numbered(slots, "1-100")), true, 120);
  std::string output, why;
  ASSERT_TRUE(wait_for([&] { return fs::exists(path("runs/a")) && fs::exists(path("runs/b")); }, 30));
  ASSERT_TRUE(test::postgres_stop(server, why)) << why;
  // a and b end while it is down; c and d wait for a number.
  ASSERT_TRUE(wait_for([&] { read_output(station, output); return records().size() == 2; }, 60));
  // Said with why and what waits for it.
  EXPECT_TRUE(wait_for([&] {
    read_output(station, output);
    return output.find("waiting for ledger") != std::string::npos &&
           output.find(": not yet written: serial") != std::string::npos;
  }, 15)) << output;
  EXPECT_FALSE(fs::exists(path("runs/c")));
  EXPECT_FALSE(fs::exists(path("runs/d")));
  ASSERT_TRUE(test::postgres_start(server, why)) << why;
  EXPECT_EQ(finish_station(station, output, 90), 0) << output;
  std::vector<Json> all = records();
  ASSERT_EQ(all.size(), 4u);
  std::string location = ledger[1];
  EXPECT_EQ(test::postgres_value(location, "SELECT count(*) FROM attempts"), "4");
  EXPECT_EQ(test::postgres_value(location, "SELECT count(*) FROM serials WHERE state = 'used'"), "4");
  for (const Json& record : all) {
    EXPECT_EQ(record["result"], "PASS");
    EXPECT_EQ(test::postgres_value(location, "SELECT serial FROM attempts WHERE attempt_id = '" +
                                                 record["attempt_id"].get<std::string>() + "'"),
              std::to_string(record["serial"].get<std::uint64_t>()));
  }
  // Down again as the shift ends (--ledger alone: no numbers, every attempt a row): the row is
  // tried for a while, then said to be missing, and the station fails.
  std::vector<std::string> last = {"--ledger", location, "e=" + start_sim("e", {"--pace", "38400"}),
                                   "--", "-p", "small.bin"};
  Station ending = start_station(last);
  ASSERT_TRUE(wait_for([&] { return fs::exists(path("runs/e")); }, 30));
  ASSERT_TRUE(test::postgres_stop(server, why)) << why;
  std::string ended;
  EXPECT_EQ(finish_station(ending, ended, 60), 1) << ended;
  EXPECT_NE(ended.find("\nnot in the ledger: e board 1 attempt 1 row: "), std::string::npos) << ended;
}

// The server down for longer than a lease while boards finish, and one station stopped (as with
// Ctrl-Z) when it comes back: the other station's next reservation spoils nothing of a station
// whose process lives, and every board that passed is used.
TEST_F(SerialsTest, PostgresDownLongerThanALeaseSpoilsNoGoodBoard) {
  start_postgres();
  if (HasFatalFailure() || IsSkipped()) return;
  std::vector<std::string> one = {"a=" + start_sim("a", {"--pace", "4800"})};
  std::vector<std::string> two = {"--jobs", "1"};
  two.push_back("b=" + start_sim("b", {"--pace", "4800"}));
  two.push_back("c=" + start_sim("c"));
  Station first = start_station(with_ledger(numbered(one, "1-100")));
  Station second = start_station(with_ledger(numbered(two, "1-100")));
  std::string why, output;
  ASSERT_TRUE(wait_for([&] { return fs::exists(path("runs/a")) && fs::exists(path("runs/b")); }, 30));
  ASSERT_TRUE(test::postgres_stop(server, why)) << why;
  ASSERT_TRUE(wait_for([&] { return records_of("a").size() + records_of("b").size() == 2; }, 60));
  kill(first.pid, SIGSTOP);
  ASSERT_TRUE(test::postgres_start(server, why)) << why;
  // Every lease ran out while the server was down.
  test::postgres_value(ledger[1], "UPDATE stations SET lease_until_unix_ms = 0");
  bool reserved = wait_for([&] { return records_of("c").size() == 1; }, 60);
  kill(first.pid, SIGCONT);
  EXPECT_TRUE(reserved);
  EXPECT_EQ(finish_station(first, output, 60), 0) << output;
  EXPECT_EQ(finish_station(second, output, 60), 0) << output;
  std::map<std::uint64_t, std::vector<std::string>> ledger_uses = uses();
  for (const Json& record : records()) {
    EXPECT_EQ(record["result"], "PASS");
    EXPECT_EQ(ledger_uses[record["serial"].get<std::uint64_t>()].at(2), "used") << record;
  }
  EXPECT_EQ(ledger_uses.size(), 3u);
}

// The server frozen (every process stopped) while a board ends and the next waits for its
// number: the station says it waits, and a SIGTERM ends it at once, not after the calls'
// time-outs. Nothing is lost: the finished board's number is settled by nobody and is spoiled,
// never handed out again.
TEST_F(SerialsTest, PostgresFrozenTheStationSaysSoAndEndsOnSigterm) {
  start_postgres();
  if (HasFatalFailure() || IsSkipped()) return;
  std::vector<std::string> slots = {"--jobs", "1", "a=" + start_sim("a", {"--pace", "38400"}),
                                    "b=" + start_sim("b")};
  Station station = start_station(with_ledger(numbered(slots, "1-100")));
  std::string output;
  ASSERT_TRUE(wait_for([&] { return fs::exists(path("runs/a")); }, 30));
  std::vector<pid_t> frozen = test::postgres_processes(server);
  for (pid_t pid : frozen) kill(pid, SIGSTOP);
  bool said = wait_for([&] {
    read_output(station, output);
    return output.find("waiting for ledger") != std::string::npos;
  }, 20);
  auto asked = std::chrono::steady_clock::now();
  kill(station.pid, SIGTERM);
  int status = finish_station(station, output, 20);
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
  for (pid_t pid : frozen) kill(pid, SIGCONT);
  EXPECT_TRUE(said) << output;
  // Said while the call still hangs, not only once it has given up.
  EXPECT_NE(output.find("board waits for a number; no answer yet"), std::string::npos) << output;
  // Its calls would hold it 5 s each; the tools get 3 s to end.
  EXPECT_LT(took, 4.5) << output;
  EXPECT_EQ(status, 1) << output;  // a's number and row are not in the ledger
  EXPECT_NE(output.find("not in the ledger: serial 1 as used (a board 1 attempt 1)"),
            std::string::npos) << output;
  EXPECT_FALSE(fs::exists(path("runs/b")));
  ASSERT_EQ(records_of("a").size(), 1u);
  EXPECT_EQ(records_of("a")[0]["result"], "PASS");
}

TEST_F(SerialsTest, AFailedBackupBurnsNothingAndGivesTheNumberBack) {
  std::string reader = path("read.sh");
  std::ofstream(reader) << "#!/bin/sh\necho 'reading device 5' >&2\n"
                        << "echo 'xarveld-read: no answer from the loader on COM1' >&2\nexit 2\n";
  fs::permissions(reader, fs::perms::owner_all);
  std::string port = start_sim("a");
  Finished station = run_station(numbered({"--backup", "--read-tool", reader, "a=" + port}, "7-8"));
  stop_sims();
  EXPECT_EQ(station.status, 1) << station.out << station.err;
  std::vector<Json> tried = records_of("a");
  ASSERT_EQ(tried.size(), 2u);  // never touched: tried once more
  for (const Json& record : tried) {
    EXPECT_EQ(record["result"], "FAIL");
    EXPECT_EQ(record["serial"], 7);
    EXPECT_EQ(record["reason"], "xarveld-read: no answer from the loader on COM1");
    EXPECT_EQ(record["backup_sha256"], nullptr);
    EXPECT_FALSE(fs::exists(path(record["directory"].get<std::string>() + "/stdout.txt")));
  }
  std::string device = read_text(path("sims/a/dump/device5.bin"));
  EXPECT_EQ(device.find(small.substr(0, AT)), std::string::npos);
  EXPECT_EQ(uses()[7][2], "returned");

  // A read that ends well once the attempt's time is up: kept, but the burn never starts.
  std::ofstream(reader) << "#!/bin/sh\nhead -c 2048 /dev/zero > before.bin\ntrap 'exit 0' TERM\n"
                        << "sleep 30 < /dev/null > /dev/null 2>&1 &\nwait\n";
  port = start_sim("b");
  run_station(numbered({"--timeout", "1", "--backup", "--read-tool", reader, "b=" + port}, "7-8"));
  stop_sims();
  ASSERT_EQ(records_of("b").size(), 1u);
  Json late = records_of("b")[0];
  EXPECT_EQ(late["result"], "TIMEOUT");
  EXPECT_EQ(late["backup_sha256"], sha256_of(std::string(2048, '\0')));
  EXPECT_FALSE(fs::exists(path(late["directory"].get<std::string>() + "/stdout.txt")));
  EXPECT_EQ(uses()[7][3], late["attempt_id"]);
  EXPECT_EQ(uses()[7][2], "returned");
}

TEST_F(SerialsTest, RefusalsStartNothing) {
  std::ofstream(path("tiny.bin")) << "abc";
  run_station(numbered({"a=/nonexistent/a"}, "1-10"));  // makes the pool 1-10
  const std::pair<std::vector<std::string>, std::string> refused[] = {
      {numbered({"a=/dev/null"}, "1-10", {"-p", "tiny.bin"}),
       "the serial number's 4 bytes at offset 0x100 (256) do not fit in the image tiny.bin of "
       "3 bytes"},
      {numbered({"a=/dev/null"}, "1-20"), "pool small.bin is 1-10 there, not 1-20"},
      // A ledger is made only when asked for: where there is none, the station says where it
      // looked and how to make one.
      {{"--report", "--ledger", "missing.sqlite"}, "no ledger at " + path("missing.sqlite")},
      {numbered({"--ledger", "other.sqlite", "a=/dev/null"}, "1-10"),
       "no ledger at " + path("other.sqlite") + ": make it once with --new-ledger"},
  };
  for (const auto& [arguments, why] : refused) {
    Finished station = run_station(arguments);
    EXPECT_EQ(station.status, 2) << why;
    EXPECT_EQ(station.err.find('\n'), station.err.size() - 1) << station.err;
    EXPECT_NE(station.err.find(why), std::string::npos) << station.err;
  }
  EXPECT_EQ(records().size(), 2u);  // the run that made the pool, tried twice
  EXPECT_FALSE(fs::exists(path("missing.sqlite")) || fs::exists(path("other.sqlite")));
}

}  // namespace
}  // namespace xarveld::station_test
