// What every ledger backend must do, against its real database: the life of a number, the
// attempt rows, stations that die holding numbers, stations at once, and the schema's version.
// The stations are real processes.
#include "tests/station/ledger_conformance.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <vector>

namespace xarveld::station {
namespace {

using Numbers = std::vector<std::uint64_t>;
using S = SerialState;
constexpr LedgerStatus OK = LedgerStatus::Ok;
constexpr LedgerStatus REFUSED = LedgerStatus::Refused;
constexpr LedgerStatus EXHAUSTED = LedgerStatus::Exhausted;
constexpr const char* HOST = "line-pc";

LedgerStation station_named(const std::string& id, const std::string& host = HOST) {
  return {id, host, static_cast<std::int64_t>(getpid())};
}

// The number reserved, or 0 with the status in status.
std::uint64_t reserve(const std::string& pool, const std::string& attempt_id,
                      LedgerStatus* status = nullptr) {
  std::uint64_t serial = 0;
  std::string error;
  LedgerStatus result = ledger_reserve(pool, attempt_id, serial, error);
  if (status != nullptr) *status = result;
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

// "used spoiled returned reserved left" of a pool, and its numbers as "serial state attempt
// station host slot result".
std::string counts(const std::string& pool, std::vector<std::string>* listed = nullptr) {
  std::vector<PoolReport> pools;
  std::vector<SerialUse> uses;
  std::string error;
  EXPECT_EQ(ledger_report(pools, &uses, error), OK) << error;
  for (const SerialUse& u : uses) {
    if (listed != nullptr && u.pool == pool) {
      listed->push_back(std::to_string(u.serial) + " " + u.state + " " + u.attempt_id + " " +
                        u.station_id + " " + u.host + " " + u.slot + " " + u.result);
    }
  }
  for (const PoolReport& r : pools) {
    if (r.pool != pool) continue;
    return std::to_string(r.first) + "-" + std::to_string(r.last) + ": " + std::to_string(r.used) +
           " " + std::to_string(r.spoiled) + " " + std::to_string(r.returned) + " " +
           std::to_string(r.reserved) + " " + std::to_string(r.left);
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
  EXPECT_EQ(counts("top", &listed), top_1 + "-" + top + ": 0 0 0 2 0");
  EXPECT_EQ(listed, (std::vector<std::string>{top_1 + " reserved t1 s1 line-pc  ",
                                              top + " reserved t2 s1 line-pc  "}));
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
    EXPECT_EQ(settle("q", row.serial, attempt, to), OK) << attempt;
    row.attempt_id = attempt;
    row.station_id = "s1";
    row.host = HOST;
    row.slot = "slot-" + row.attempt_id;
    row.result = result;
    row.pool = "q";
    row.has_serial = true;
    row.image_sha256 = std::string(64, 'a');
    row.record_json = "{\"attempt\":\"" + row.attempt_id + "\"}";
    EXPECT_EQ(ledger_record_attempt(row, error), OK) << error;
    row.result = "ABORTED";  // a retry after a lost answer: the first row stays, alone
    EXPECT_EQ(ledger_record_attempt(row, error), OK) << error;
  }
  EXPECT_EQ(reserve("q", "a4"), 12u);  // the one a3 returned; a4 is still on its board
  EXPECT_EQ(GetParam().query(location, "SELECT COUNT(*) FROM attempts"), "3");
  EXPECT_EQ(GetParam().query(location, "SELECT result FROM attempts WHERE attempt_id = 'a1'"),
            "PASS");

  std::vector<std::string> listed;
  EXPECT_EQ(counts("q", &listed), "10-19: 1 1 0 1 7");
  EXPECT_EQ(listed, (std::vector<std::string>{"10 used a1 s1 line-pc slot-a1 PASS",
                                              "11 spoiled a2 s1 line-pc slot-a2 TIMEOUT",
                                              "12 reserved a4 s1 line-pc  "}));
  EXPECT_EQ(settle("q", reserve("q", "a5"), "a5", S::Returned), OK);
  EXPECT_EQ(counts("q"), "10-19: 1 1 1 1 7");  // 14 to 19, and 13 returned
}

TEST_P(LedgerConformance, StationsThatDiedHoldingNumbersNeverHandThemOut) {
  std::string location = GetParam().fresh_location();
  const SerialPool pool{"p", 1, 8};
  // A station that takes two numbers and dies with them: on this host it is killed; on another
  // host it ends without a word, and its lease runs on.
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
  EXPECT_EQ(reserve("p", "n1"), 5u);
  EXPECT_EQ(counts("p"), "1-8: 0 2 0 3 3") << "the killed station's spoiled, the other's held";
  // The other's lease ran out a millisecond ago, by the clock the ledger judges leases with.
  GetParam().query(location, "UPDATE stations SET lease_until_unix_ms = " +
                                 GetParam().now_unix_ms_sql +
                                 " - 1 WHERE station_id = 'elsewhere'");
  EXPECT_EQ(reserve("p", "n2"), 6u);
  EXPECT_EQ(counts("p"), "1-8: 0 4 0 2 2") << "its lease lapsed; this station's own stay";
  EXPECT_EQ(settle("p", 3, "elsewhere-a", S::Used), REFUSED);
  EXPECT_EQ(settle("p", 5, "n1", S::Returned), OK);
  Numbers rest;
  for (std::uint64_t n = reserve("p", "r"); n != 0 && rest.size() < 8;
       n = reserve("p", "r" + std::to_string(n))) {
    rest.push_back(n);
  }
  EXPECT_EQ(rest, (Numbers{5, 7, 8}));

  // A station that ended holding numbers (it closed, its process lives on) has lapsed too.
  ledger_close();
  ASSERT_EQ(ledger_open(location, station_named("after"), error), OK) << error;
  EXPECT_EQ(reserve_status("p", "x"), EXHAUSTED);
  EXPECT_EQ(counts("p"), "1-8: 0 8 0 0 0");
  GetParam().query(location, "UPDATE stations SET lease_until_unix_ms = 0");
  EXPECT_EQ(ledger_renew_lease(error), OK) << error;
  EXPECT_EQ(GetParam().query(location,
                             "SELECT COUNT(*) FROM stations WHERE station_id = 'after'"
                             " AND lease_until_unix_ms > 0"),
            "1");
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
  EXPECT_EQ(counts("line"), "1000-1079: 80 0 0 0 0");
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
            "1 1");
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

}  // namespace
}  // namespace xarveld::station
