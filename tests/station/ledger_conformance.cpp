// What every ledger backend must do, against its real database: the life of a number, the
// attempt rows, stations that die or lapse holding numbers, stations at once, the schema's
// version and its migration, and the report. The stations are real processes.
#include "tests/station/ledger_conformance.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <numeric>
#include <vector>

#include "station/ledger/ledger_schema.hpp"
#include "station/os/host.hpp"

namespace xarveld::station {
namespace {

using Numbers = std::vector<std::uint64_t>;
using S = SerialState;
constexpr LedgerStatus OK = LedgerStatus::Ok;
constexpr LedgerStatus REFUSED = LedgerStatus::Refused;
constexpr LedgerStatus EXHAUSTED = LedgerStatus::Exhausted;
constexpr const char* HOST = "line-pc";

// A station of this machine, or of another (judged by its lease) when another host is named.
LedgerStation station_named(const std::string& id, const std::string& host = HOST) {
  LedgerStation station{id, host, static_cast<std::int64_t>(getpid())};
  if (host != HOST) station.machine = host;
  return station;
}

// The number reserved (for slot "bay", board 4), or 0 with the status in status; the numbers
// of lapsed stations it spoiled as "serial attempt station host slot board".
std::uint64_t reserve(const std::string& pool, const std::string& attempt_id,
                      LedgerStatus* status = nullptr, std::vector<std::string>* lapsed = nullptr) {
  std::uint64_t serial = 0;
  std::string error;
  std::vector<LapsedNumber> spoiled;
  LedgerStatus result = ledger_reserve({pool, attempt_id, "bay", 4, 1}, serial, spoiled, error);
  if (status != nullptr) *status = result;
  for (const LapsedNumber& n : spoiled) {
    EXPECT_EQ(n.pool, pool);
    if (lapsed == nullptr) continue;
    lapsed->push_back(std::to_string(n.serial) + " " + n.attempt_id + " " + n.station_id + " " +
                      n.host + " " + n.slot + " " + std::to_string(n.board));
  }
  return result == OK ? serial : 0;
}

LedgerStatus reserve_status(const std::string& pool, const std::string& attempt_id) {
  LedgerStatus status;
  reserve(pool, attempt_id, &status);
  return status;
}

LedgerStatus settle(const std::string& pool, std::uint64_t serial, const std::string& attempt_id,
                    SerialState to) {
  std::string error;
  return ledger_settle(pool, serial, attempt_id, to, error);
}

// "used spoiled returned reserved left lapse-settled" of a pool, and its numbers as "serial
// state attempt station host slot board result".
std::string counts(const std::string& pool, std::vector<std::string>* listed = nullptr) {
  std::vector<PoolReport> pools;
  std::string error;
  const SerialUseSink list = [&](const SerialUse& u) {
    if (listed != nullptr && u.pool == pool) {
      listed->push_back(std::to_string(u.serial) + " " + u.state + " " + u.attempt_id + " " +
                        u.station_id + " " + u.host + " " + u.slot + " " +
                        std::to_string(u.board) + " " + u.result);
    }
    return true;
  };
  EXPECT_EQ(ledger_report(pools, &list, error), OK) << error;
  for (const PoolReport& r : pools) {
    if (r.pool != pool) continue;
    return std::to_string(r.first) + "-" + std::to_string(r.last) + ": " + std::to_string(r.used) +
           " " + std::to_string(r.spoiled) + " " + std::to_string(r.returned) + " " +
           std::to_string(r.reserved) + " " + std::to_string(r.left) + " " +
           std::to_string(r.lapse_settled);
  }
  return "no pool " + pool;
}

// A station in a child process: body runs there and writes its numbers to out, one a line; its
// result is the child's exit status.
struct Child {
  pid_t pid = -1;
  FILE* out = nullptr;
};

Child start_child(const std::function<int(FILE* out)>& body) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    FILE* out = fdopen(fds[1], "w");
    setvbuf(out, nullptr, _IOLBF, 0);
    _exit(body(out));
  }
  close(fds[1]);
  return {pid, fdopen(fds[0], "r")};
}

// The child's next count numbers, fewer when it ends first.
Numbers read_numbers(Child& child, std::size_t count) {
  Numbers numbers;
  unsigned long long number;
  while (numbers.size() < count && fscanf(child.out, "%llu", &number) == 1) {
    numbers.push_back(number);
  }
  return numbers;
}

int finish(Child& child) {
  fclose(child.out);
  int status = 0;
  waitpid(child.pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_P(LedgerConformance, NumbersAreHandedOutSettledAndNeverGivenTwice) {
  std::string error;
  ASSERT_EQ(ledger_open(GetParam().fresh_location(), station_named("s1"), error), OK) << error;
  ASSERT_EQ(ledger_define_pool({"p", 1, 5}, error), OK) << error;
  EXPECT_EQ(ledger_define_pool({"p", 1, 5}, error), OK) << error;
  EXPECT_EQ(ledger_define_pool({"p", 1, 6}, error), REFUSED);
  EXPECT_NE(error.find("1-5"), std::string::npos) << error;
  EXPECT_EQ(reserve_status("nowhere", "a0"), REFUSED);

  for (std::uint64_t n = 1; n <= 4; ++n) EXPECT_EQ(reserve("p", "a" + std::to_string(n)), n);
  EXPECT_EQ(reserve("p", "a4"), 4u) << "a retried reservation is the same number";
  const struct {
    std::uint64_t serial;
    const char* attempt;
    SerialState to;
    LedgerStatus status;
  } settles[] = {
      {4, "a3", S::Returned, REFUSED},  // another attempt's
      {1, "a1", S::Used, OK},          {3, "a3", S::Spoiled, OK},       {4, "a4", S::Returned, OK},
      {2, "a2", S::Returned, OK},      {1, "a1", S::Used, OK},  // again: a retry
      {1, "a2", S::Used, REFUSED},     {1, "a1", S::Returned, REFUSED}, {3, "a3", S::Used, REFUSED},
      {5, "a5", S::Used, REFUSED},  // never handed out
  };
  for (const auto& s : settles) {
    EXPECT_EQ(settle("p", s.serial, s.attempt, s.to), s.status) << s.serial << " " << s.attempt;
  }
  // Returned numbers first, the lowest first; the used and the spoiled never again.
  EXPECT_EQ(reserve("p", "a5"), 2u);
  EXPECT_EQ(reserve("p", "a6"), 4u);
  EXPECT_EQ(reserve("p", "a7"), 5u);
  EXPECT_EQ(reserve_status("p", "a8"), EXHAUSTED);
  // With no new number left, one given back is still handed out again.
  EXPECT_EQ(settle("p", 4, "a6", S::Returned), OK);
  EXPECT_EQ(reserve("p", "a9"), 4u);
  EXPECT_EQ(settle("p", 2, "a5", S::Spoiled), OK);
  EXPECT_EQ(settle("p", 4, "a9", S::Used), OK);
  EXPECT_EQ(reserve_status("p", "a10"), EXHAUSTED);

  // A pool may end at the largest number a database keeps, and not past it.
  constexpr std::uint64_t TOP = 0x7FFFFFFFFFFFFFFF;
  EXPECT_EQ(ledger_define_pool({"past", 1, TOP + 1}, error), REFUSED);
  ASSERT_EQ(ledger_define_pool({"top", TOP - 1, TOP}, error), OK) << error;
  EXPECT_EQ(reserve("top", "t1"), TOP - 1);
  EXPECT_EQ(reserve("top", "t2"), TOP);
  EXPECT_EQ(reserve_status("top", "t3"), EXHAUSTED);
  const std::string top_1 = std::to_string(TOP - 1), top = std::to_string(TOP);
  std::vector<std::string> listed;  // listed beside the other pool's numbers
  EXPECT_EQ(counts("top", &listed), top_1 + "-" + top + ": 0 0 0 2 0 0");
  EXPECT_EQ(listed, (std::vector<std::string>{top_1 + " reserved t1 s1 line-pc bay 4 ",
                                              top + " reserved t2 s1 line-pc bay 4 "}));
}

TEST_P(LedgerConformance, AttemptRowsAreOnePerAttemptAndTheReportAgrees) {
  std::string location = GetParam().fresh_location();
  std::string error;
  ASSERT_EQ(ledger_open(location, station_named("s1"), error), OK) << error;
  ASSERT_EQ(ledger_define_pool({"q", 10, 19}, error), OK) << error;
  const std::tuple<const char*, SerialState, const char*> attempts[] = {
      {"a1", S::Used, "PASS"}, {"a2", S::Spoiled, "TIMEOUT"}, {"a3", S::Returned, "FAIL"}};
  for (const auto& [attempt, to, result] : attempts) {
    LedgerAttemptRow row;
    row.serial = reserve("q", attempt);
    row.attempt_id = attempt;
    row.station_id = "s1";
    row.host = HOST;
    row.slot = "slot-" + row.attempt_id;
    row.board = 2;
    row.result = result;
    row.pool = "q";
    row.has_serial = true;
    row.image_sha256 = std::string(64, 'a');
    row.record_json = "{\"attempt\":\"" + row.attempt_id + "\"}";
    // The number and its row at once; a retry after a lost answer leaves the first row alone.
    EXPECT_EQ(ledger_settle_attempt("q", row.serial, to, row, error), OK) << error;
    row.result = "ABORTED";
    EXPECT_EQ(ledger_settle_attempt("q", row.serial, to, row, error), OK) << error;
    EXPECT_EQ(ledger_record_attempt(row, error), OK) << error;
    if (row.attempt_id == "a3") {  // a number that was another's: refused, its row still kept
      row.attempt_id = "a3-late";
      EXPECT_EQ(ledger_settle_attempt("q", 10, S::Spoiled, row, error), REFUSED);
      EXPECT_NE(error.find("not"), std::string::npos) << error;
    }
  }
  EXPECT_EQ(reserve("q", "a4"), 12u);  // the one a3 returned; a4 is still on its board
  EXPECT_EQ(GetParam().query(location, "SELECT COUNT(*) FROM attempts"), "4");
  EXPECT_EQ(GetParam().query(location, "SELECT result FROM attempts WHERE attempt_id = 'a1'"),
            "PASS");

  std::vector<std::string> listed;
  // Where a board was comes from its attempt's row, or from its reservation while it has none.
  EXPECT_EQ(counts("q", &listed), "10-19: 1 1 0 1 7 0");
  EXPECT_EQ(listed, (std::vector<std::string>{"10 used a1 s1 line-pc slot-a1 2 PASS",
                                              "11 spoiled a2 s1 line-pc slot-a2 2 TIMEOUT",
                                              "12 reserved a4 s1 line-pc bay 4 "}));
  EXPECT_EQ(settle("q", reserve("q", "a5"), "a5", S::Returned), OK);
  EXPECT_EQ(counts("q"), "10-19: 1 1 1 1 7 0");  // 14 to 19, and 13 returned
  std::uint64_t left = 0;
  EXPECT_EQ(ledger_serials_left("q", left, error), OK) << error;
  EXPECT_EQ(left, 7u);
  EXPECT_EQ(ledger_serials_left("nowhere", left, error), REFUSED);

  // The uses come one at a time, and a sink that says stop has the last of them.
  std::vector<PoolReport> pools;
  int handed = 0;
  const SerialUseSink first_only = [&](const SerialUse& use) {
    EXPECT_EQ(use.serial, 10u);
    return ++handed < 1;
  };
  EXPECT_EQ(ledger_report(pools, &first_only, error), OK) << error;
  EXPECT_EQ(handed, 1);
}

TEST_P(LedgerConformance, LapsedStationsNumbersAreSaidAndTheirOwnWordStillSettlesThem) {
  std::string location = GetParam().fresh_location();
  const SerialPool pool{"p", 1, 8};
  // A station that takes two numbers and dies with them: on this machine it is killed; on
  // another it ends without a word, and its lease runs on.
  auto holder = [&](const std::string& id, const std::string& host) {
    return start_child([=](FILE* out) {
      std::string error;
      if (ledger_open(location, station_named(id, host), error) != OK ||
          ledger_define_pool(pool, error) != OK) {
        fprintf(stderr, "%s\n", error.c_str());
        return 1;
      }
      for (const char* attempt : {"-a", "-b"}) {
        fprintf(out, "%llu\n", static_cast<unsigned long long>(reserve("p", id + attempt)));
      }
      if (host == HOST) pause();
      return 0;
    });
  };
  Child killed = holder("killed", HOST);
  EXPECT_EQ(read_numbers(killed, 2), (Numbers{1, 2}));
  kill(killed.pid, SIGKILL);
  EXPECT_EQ(finish(killed), 128 + SIGKILL);
  Child elsewhere = holder("elsewhere", "other-pc");
  EXPECT_EQ(read_numbers(elsewhere, 2), (Numbers{3, 4}));
  EXPECT_EQ(finish(elsewhere), 0);

  std::string error;
  ASSERT_EQ(ledger_open(location, station_named("next"), error), OK) << error;
  std::vector<std::string> lapsed;
  EXPECT_EQ(reserve("p", "n1", nullptr, &lapsed), 5u);
  EXPECT_EQ(lapsed, (std::vector<std::string>{"1 killed-a killed line-pc bay 4",
                                              "2 killed-b killed line-pc bay 4"}));
  EXPECT_EQ(counts("p"), "1-8: 0 2 0 3 3 0") << "the killed station's spoiled, the other's held";
  // The other's lease ran out a millisecond ago, by the clock the ledger judges leases with.
  GetParam().query(location, "UPDATE stations SET lease_until_unix_ms = " +
                                 GetParam().now_unix_ms_sql +
                                 " - 1 WHERE station_id = 'elsewhere'");
  lapsed.clear();
  EXPECT_EQ(reserve("p", "n2", nullptr, &lapsed), 6u);
  EXPECT_EQ(lapsed, (std::vector<std::string>{"3 elsewhere-a elsewhere other-pc bay 4",
                                              "4 elsewhere-b elsewhere other-pc bay 4"}));
  EXPECT_EQ(counts("p"), "1-8: 0 4 0 2 2 0") << "its lease lapsed; this station's own stay";
  // Its attempts' word comes after all (its ledger was out of reach, not it): each is taken,
  // once; another attempt's still is not.
  const struct {
    std::uint64_t serial;
    const char* attempt;
    SerialState to;
    LedgerStatus status;
  } late[] = {
      {3, "elsewhere-a", S::Used, OK},      {3, "elsewhere-a", S::Used, OK},
      {3, "elsewhere-a", S::Returned, REFUSED}, {4, "elsewhere-b", S::Returned, OK},
      {2, "killed-b", S::Spoiled, OK},       {2, "killed-b", S::Used, REFUSED},
      {1, "n1", S::Used, REFUSED},
  };
  for (const auto& l : late) {
    EXPECT_EQ(settle("p", l.serial, l.attempt, l.to), l.status) << l.serial << " " << l.attempt;
  }
  EXPECT_EQ(counts("p"), "1-8: 1 2 1 2 3 3");
  EXPECT_EQ(settle("p", 5, "n1", S::Returned), OK);
  // The returned ones first; the used and the spoiled never again.
  Numbers rest;
  for (std::uint64_t n = reserve("p", "r"); n != 0 && rest.size() < 8;
       n = reserve("p", "r" + std::to_string(n))) {
    rest.push_back(n);
  }
  EXPECT_EQ(rest, (Numbers{4, 5, 7, 8}));

  // A station that ended holding numbers (it closed, its process lives on) has lapsed too.
  ledger_close();
  ASSERT_EQ(ledger_open(location, station_named("after"), error), OK) << error;
  EXPECT_EQ(reserve_status("p", "x"), EXHAUSTED);
  EXPECT_EQ(counts("p"), "1-8: 1 7 0 0 0 2");
  GetParam().query(location, "UPDATE stations SET lease_until_unix_ms = 0");
  EXPECT_EQ(ledger_renew_lease(error), OK) << error;
  EXPECT_EQ(GetParam().query(location,
                             "SELECT COUNT(*) FROM stations WHERE station_id = 'after'"
                             " AND lease_until_unix_ms > 0"),
            "1");
}

// On one machine a station lives while its process does, whatever its lease says (it may be
// stopped, or its ledger out of reach); a process that is gone, or whose number now belongs to
// a process started later, has lapsed at once.
TEST_P(LedgerConformance, StationsOfThisMachineLapseWithTheirProcessNotTheirLease) {
  std::string location = GetParam().fresh_location();
  std::string error;
  ASSERT_EQ(ledger_open(location, station_named("judge"), error), OK) << error;
  ASSERT_EQ(ledger_define_pool({"p", 1, 9}, error), OK) << error;
  pid_t stopped = fork();
  if (stopped == 0) {
    pause();
    _exit(0);
  }
  kill(stopped, SIGSTOP);
  pid_t gone = fork();
  if (gone == 0) {
    pause();
    _exit(0);
  }
  std::int64_t gone_start = process_start_time(gone);
  kill(gone, SIGKILL);
  waitpid(gone, nullptr, 0);
  const std::int64_t self = getpid(), self_start = process_start_time(self);
  const struct {
    const char* id;
    std::int64_t pid;
    std::int64_t start;
  } holders[] = {{"alive", self, self_start},
                 {"stopped", stopped, process_start_time(stopped)},
                 {"gone", gone, gone_start},
                 {"reborn", self, self_start + 1}};
  // Reserved here, then given to the four stations, whose leases ran out long ago.
  for (std::uint64_t n = 1; n <= 4; ++n) {
    EXPECT_EQ(reserve("p", std::string(holders[n - 1].id) + "-a"), n);
  }
  for (std::uint64_t n = 1; n <= 4; ++n) {
    const auto& h = holders[n - 1];
    const std::string id = h.id;
    GetParam().query(location, "UPDATE serials SET station_id = '" + id + "' WHERE serial = " +
                                   std::to_string(n));
    GetParam().query(location,
                     "INSERT INTO stations (station_id, host, pid, started_unix_ms,"
                     " lease_until_unix_ms, ended, machine, process_start) VALUES ('" + id +
                         "', 'line-pc', " + std::to_string(h.pid) + ", 0, 0, 0, '" +
                         machine_identity() + "', " + std::to_string(h.start) + ")");
  }
  std::vector<std::string> lapsed;
  EXPECT_EQ(reserve("p", "judge-b", nullptr, &lapsed), 5u);
  EXPECT_EQ(lapsed, (std::vector<std::string>{"3 gone-a gone line-pc bay 4",
                                              "4 reborn-a reborn line-pc bay 4"}));
  EXPECT_EQ(counts("p"), "1-9: 0 2 0 3 4 0");
  kill(stopped, SIGKILL);
  waitpid(stopped, nullptr, 0);
}

TEST_P(LedgerConformance, StationsAtOnceShareOnePoolWithoutLoss) {
  constexpr int STATIONS = 4;
  constexpr int EACH = 20;
  std::string location = GetParam().fresh_location();
  const SerialPool pool{"line", 1000, 1000 + STATIONS * EACH - 1};
  std::vector<Child> children;
  int go[2];  // closed when every station is there: they open the new ledger at once
  ASSERT_EQ(pipe(go), 0);
  for (int s = 0; s < STATIONS; ++s) {
    children.push_back(start_child([&, s](FILE* out) {
      // Each station opens the new ledger and defines the pool.
      close(go[1]);
      char byte;
      if (read(go[0], &byte, 1) < 0) return 4;
      std::string id = "station" + std::to_string(s);
      std::string error;
      if (ledger_open(location, station_named(id), error) != OK ||
          ledger_define_pool(pool, error) != OK) {
        fprintf(stderr, "%s: %s\n", id.c_str(), error.c_str());
        return 1;
      }
      for (int i = 0; i < EACH; ++i) {
        std::string attempt = id + "-" + std::to_string(i);
        std::uint64_t serial = reserve("line", attempt);
        if (serial == 0 || settle("line", serial, attempt, S::Used) != OK) return 2;
        fprintf(out, "%llu\n", static_cast<unsigned long long>(serial));
      }
      ledger_close();
      return 0;
    }));
  }
  close(go[0]);
  close(go[1]);
  Numbers all;
  for (Child& child : children) {
    Numbers numbers = read_numbers(child, EACH);
    all.insert(all.end(), numbers.begin(), numbers.end());
    EXPECT_EQ(finish(child), 0);
  }
  std::sort(all.begin(), all.end());
  Numbers expected(STATIONS * EACH);
  std::iota(expected.begin(), expected.end(), pool.first);
  EXPECT_EQ(all, expected);

  std::string error;
  ASSERT_EQ(ledger_open(location, station_named("audit"), error), OK) << error;
  EXPECT_EQ(counts("line"), "1000-1079: 80 0 0 0 0 0");
  EXPECT_EQ(reserve_status("line", "one-more"), EXHAUSTED);
}

TEST_P(LedgerConformance, SchemaIsVersionedAndANewerOneIsRefused) {
  std::string location = GetParam().fresh_location();
  std::string error;
  ASSERT_EQ(ledger_open(location, LedgerStation{}, error), OK) << error;
  ASSERT_EQ(ledger_define_pool({"p", 1, 5}, error), OK) << error;
  EXPECT_EQ(reserve_status("p", "no-lease"), REFUSED) << "a reader without a station";
  ledger_close();
  EXPECT_EQ(GetParam().query(location, "SELECT COUNT(*) || ' ' || MAX(version) FROM ledger_schema"),
            "1 3");
  ASSERT_EQ(ledger_open(location, station_named("again"), error), OK) << error;
  ledger_close();

  GetParam().query(location, "UPDATE ledger_schema SET version = 99");
  EXPECT_EQ(ledger_open(location, station_named("old"), error), REFUSED);
  EXPECT_NE(error.find("99"), std::string::npos) << error;
  EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  EXPECT_EQ(GetParam().query(location, "SELECT COUNT(*) FROM stations WHERE station_id = 'old'"),
            "0")
      << "a newer ledger is left untouched";
}

// Yield counts boards, each in the group of its first attempt: a numbered board is its number
// wherever it was tried, an unnumbered one its station, slot and board. Shifts and days are
// local: the zone here is two hours east of UTC.
TEST_P(LedgerConformance, YieldAndParetoCountBoardsByTheirFirstAttempt) {
  const char* zone = std::getenv("TZ");
  std::string old_zone = zone != nullptr ? zone : "";
  setenv("TZ", "XST-2", 1);
  tzset();
  std::string location = GetParam().fresh_location();
  std::string error;
  ASSERT_EQ(ledger_open(location, station_named("s1"), error), OK) << error;
  constexpr std::int64_t T = 1796688000000;  // 2026-12-08 00:00 UTC, 02:00 here
  constexpr std::int64_t H = 3600000;
  int n = 0;
  // serial 0: an unnumbered board.
  auto attempt = [&](const char* station, const char* host, const char* slot, int board,
                     std::uint64_t serial, std::int64_t end, const char* code) {
    LedgerAttemptRow row;
    row.attempt_id = "y" + std::to_string(++n);
    row.station_id = station;
    row.host = host;
    row.slot = slot;
    row.board = board;
    row.end_unix_ms = end;
    row.result = *code != 0 ? "FAIL" : "PASS";
    row.reason_code = code;
    row.pool = serial != 0 ? "q" : "";
    row.has_serial = serial != 0;
    row.serial = serial;
    row.image_sha256 = std::string(64, 'a');
    row.record_json = "{}";
    EXPECT_EQ(ledger_record_attempt(row, error), OK) << error;
  };
  attempt("s1", HOST, "bayA", 1, 100, T + 5 * H, "");                // first-pass
  attempt("s1", HOST, "bayA", 2, 101, T + 5 * H + 600000, "DATA_MISMATCH");
  attempt("s1", HOST, "bayB", 1, 101, T + 5 * H + 1200000, "");      // retest elsewhere: passed
  attempt("s1", HOST, "bayB", 1, 0, T + 13 * H, "NO_ANSWER");        // never passed
  attempt("s1", HOST, "bayB", 1, 0, T + 13 * H + 300000, "NO_ANSWER");
  attempt("s2", "pc-2", "bayB", 1, 0, T + 21 * H, "");               // same slot, other station
  attempt("s1", HOST, "bayA", 2, 0, T - 24 * H, "TIMEOUT");          // before the window
  attempt("s1", HOST, "bayA", 2, 0, T + 6 * H, "");
  ledger_close();
  ASSERT_EQ(ledger_open(location, LedgerStation{}, LedgerAccess::ReadOnly, error), OK) << error;

  auto yield = [&](YieldBy by, std::int64_t since) {
    std::vector<YieldRow> rows;
    EXPECT_EQ(ledger_yield(by, since, rows, error), OK) << error;
    std::string text;
    for (const YieldRow& r : rows) {
      text += r.group + ":" + std::to_string(r.boards) + " " + std::to_string(r.attempts) + " " +
              std::to_string(r.first_pass) + " " + std::to_string(r.final_pass) + ";";
    }
    return text;
  };
  EXPECT_EQ(yield(YieldBy::Total, 0), "total:5 8 2 4;");
  EXPECT_EQ(yield(YieldBy::Slot, 0),
            "line-pc/bayA:3 5 1 3;line-pc/bayB:1 2 0 0;pc-2/bayB:1 1 1 1;");
  EXPECT_EQ(yield(YieldBy::Station, 0), "line-pc:4 7 1 3;pc-2:1 1 1 1;");
  EXPECT_EQ(yield(YieldBy::Shift, 0),
            "2026-12-06 22:00:1 2 0 1;2026-12-08 06:00:2 3 1 2;2026-12-08 14:00:1 2 0 0;"
            "2026-12-08 22:00:1 1 1 1;");
  EXPECT_EQ(yield(YieldBy::Day, 0), "2026-12-07:1 2 0 1;2026-12-08:4 6 2 3;");
  // A board whose first attempt came before the window is not counted, its retest neither.
  EXPECT_EQ(yield(YieldBy::Total, T), "total:4 6 2 3;");
  EXPECT_EQ(yield(YieldBy::Total, T + 30 * H), "total:0 0 0 0;");

  auto pareto = [&](std::int64_t since) {
    std::vector<ParetoRow> rows;
    EXPECT_EQ(ledger_pareto(since, rows, error), OK) << error;
    std::string text;
    for (const ParetoRow& r : rows) text += r.reason_code + ":" + std::to_string(r.attempts) + ";";
    return text;
  };
  EXPECT_EQ(pareto(0), "NO_ANSWER:2;DATA_MISMATCH:1;TIMEOUT:1;");
  EXPECT_EQ(pareto(T), "NO_ANSWER:2;DATA_MISMATCH:1;");

  // 07:00 here is in the shift from 06:00 (04:00 UTC); 03:00 in the one from 22:00 the day before.
  EXPECT_EQ(shift_start_unix_ms(T + 5 * H), T + 4 * H);
  EXPECT_EQ(shift_start_unix_ms(T + 1 * H), T - 4 * H);
  if (zone != nullptr) {
    setenv("TZ", old_zone.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

// The line's page reads, read-only: the stations whose lease reached into the shift with their
// lease on the ledger's clock, each slot's last attempt of the shift, and the line's last
// failures whatever their shift, newest first and no more than LINE_FAILURES.
TEST_P(LedgerConformance, LineViewHasTheShiftsStationsTheirSlotsAndTheLastFailures) {
  std::string location = GetParam().fresh_location();
  std::string error;
  ASSERT_EQ(ledger_open(location, station_named("w"), error), OK) << error;  // ends below
  std::int64_t now = static_cast<std::int64_t>(std::time(nullptr)) * 1000;
  std::int64_t shift = now - 3600000;
  int n = 0;
  auto attempt = [&](const char* station, const char* slot, int board, std::int64_t end,
                     const char* code) {
    LedgerAttemptRow row;
    row.attempt_id = "v" + std::to_string(++n);
    row.station_id = station;
    row.host = station[1] == '2' ? "pc-2" : HOST;
    row.slot = slot;
    row.board = board;
    row.end_unix_ms = end;
    row.result = *code != 0 ? "FAIL" : "PASS";
    row.reason_code = code;
    row.image_sha256 = std::string(64, 'a');
    row.record_json = "{\"reason\": \"said " + std::to_string(n) + "\"}";
    EXPECT_EQ(ledger_record_attempt(row, error), OK) << error;
  };
  for (int i = 0; i < 20; ++i) attempt("s3", "old", i + 1, shift - 60000 - i, "NO_ANSWER");
  attempt("s1", "bayA", 1, now - 600000, "");
  attempt("s1", "bayA", 2, now - 300000, "DATA_MISMATCH");  // bayA's last
  attempt("s1", "bayB", 1, now - 400000, "");
  attempt("s2", "bayA", 7, now - 200000, "TIMEOUT");
  ledger_close();
  const std::string& clock = GetParam().now_unix_ms_sql;
  for (const std::string& values :
       {"'s1', 'line-pc', 1, 2, " + clock + " + 30000, 0", "'s2', 'pc-2', 1, 1, " + clock +
        " - 1000, 0", "'s3', 'pc-3', 1, 0, " + std::to_string(shift - 1) + ", 0"}) {
    GetParam().query(location, "INSERT INTO stations (station_id, host, pid, started_unix_ms,"
                               " lease_until_unix_ms, ended) VALUES (" + values + ")");
  }
  ASSERT_EQ(ledger_open(location, LedgerStation{}, LedgerAccess::ReadOnly, error), OK) << error;
  LineView view;
  ASSERT_EQ(ledger_line_view(shift, view, error), OK) << error;
  EXPECT_NEAR(static_cast<double>(view.now_unix_ms), static_cast<double>(now), 5000);
  std::string stations;
  for (const LineStationRow& s : view.stations) {
    stations += s.station_id + " " + s.host + (s.ended ? " ended" : "") +
                (s.lease_until_unix_ms < view.now_unix_ms ? " out" : "") + ":";
    for (const LineSlotResult& slot : s.slots) {
      stations += " " + slot.slot + " " + std::to_string(slot.board) + " " + slot.result + " " +
                  slot.reason_code;
    }
    stations += ";";
  }
  EXPECT_EQ(stations, "s1 line-pc: bayA 2 FAIL DATA_MISMATCH bayB 1 PASS ;w line-pc ended out:;"
                      "s2 pc-2 out: bayA 7 FAIL TIMEOUT;");
  ASSERT_EQ(view.failures.size(), LINE_FAILURES);
  EXPECT_EQ(view.failures[0].station_id + view.failures[0].slot + view.failures[0].reason_code,
            "s2bayATIMEOUT");
  EXPECT_EQ(view.failures[0].record_json, "{\"reason\": \"said 24\"}");
  EXPECT_EQ(view.failures[1].reason_code, "DATA_MISMATCH");
  EXPECT_EQ(view.failures.back().board, 18) << "the oldest two of the old shift left out";
}

// A ledger of version 1, made by the DDL of its day, keeps its numbers and attempts when a later
// station migrates it, and goes on from where it was.
TEST_P(LedgerConformance, AVersionOneLedgerIsMigratedWithItsNumbers) {
  std::string location = GetParam().fresh_location();
  for (const char* table : {"attempts", "serials", "stations", "serial_pools", "ledger_schema"})
    GetParam().query(location, std::string("DROP TABLE ") + table);
  for (const char* statement : LEDGER_SCHEMA_V1) GetParam().query(location, statement);
  for (const char* row : {
           "INSERT INTO ledger_schema (version) VALUES (1)",
           "INSERT INTO serial_pools VALUES ('p', 1, 5, 4)",
           "INSERT INTO serials VALUES ('p', 1, 'used', 'old-1', 'old', 0)",
           "INSERT INTO serials VALUES ('p', 2, 'returned', 'old-2', 'old', 0)",
           "INSERT INTO serials VALUES ('p', 3, 'reserved', 'old-3', 'old', 0)",
           "INSERT INTO stations VALUES ('old', 'old-pc', 1, 0, 0, 0)",
           "INSERT INTO attempts VALUES ('old-1', 'old', 'old-pc', 'a', 2, 1, 0, 0, 'PASS', 0,"
           " 'p', 1, 'aa', 'bb', '{}')",
       }) {
    GetParam().query(location, row);
  }
  std::string error;
  // A report cannot migrate it, and says so rather than fail on a column.
  EXPECT_EQ(ledger_open(location, LedgerStation{}, LedgerAccess::ReadOnly, error), REFUSED);
  EXPECT_NE(error.find("older than this station's 3: start a station on it once"),
            std::string::npos) << error;
  ASSERT_EQ(ledger_open(location, station_named("new"), error), OK) << error;
  EXPECT_EQ(GetParam().query(location, "SELECT COUNT(*) || ' ' || MAX(version) FROM ledger_schema"),
            "1 3");
  std::vector<std::string> lapsed, listed;
  EXPECT_EQ(reserve("p", "new-1", nullptr, &lapsed), 2u);
  EXPECT_EQ(lapsed, (std::vector<std::string>{"3 old-3 old old-pc  0"})) << "its lease is long out";
  EXPECT_EQ(reserve("p", "new-2"), 4u);
  EXPECT_EQ(counts("p", &listed), "1-5: 1 1 0 2 1 0");
  EXPECT_EQ(listed, (std::vector<std::string>{"1 used old-1 old old-pc a 2 PASS",
                                              "2 reserved new-1 new line-pc bay 4 ",
                                              "3 spoiled old-3 old old-pc  0 ",
                                              "4 reserved new-2 new line-pc bay 4 "}));
  EXPECT_EQ(settle("p", 3, "old-3", S::Used), OK);
}

}  // namespace
}  // namespace xarveld::station
