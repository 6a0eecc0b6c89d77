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

#include "station/ledger/ledger_schema.hpp"

namespace xarveld::station {
namespace {

using Numbers = std::vector<std::uint64_t>;
constexpr LedgerStatus OK = LedgerStatus::Ok;
constexpr const char* HOST = "line-pc";

LedgerStation station_named(const std::string& id, const std::string& host = HOST) {
  return {id, host, static_cast<std::int64_t>(getpid())};
}

struct Reservation {
  LedgerStatus status = LedgerStatus::Refused;
  std::uint64_t serial = 0;
};

Reservation reserve(const std::string& pool, const std::string& attempt_id) {
  Reservation reservation;
  std::string error;
  reservation.status = ledger_reserve(pool, attempt_id, reservation.serial, error);
  return reservation;
}

LedgerStatus settle(const std::string& pool, std::uint64_t serial, const std::string& attempt_id,
                    SerialState to) {
  std::string error;
  return ledger_settle(pool, serial, attempt_id, to, error);
}

PoolReport report_of(const std::string& pool, std::vector<SerialUse>* uses = nullptr) {
  std::vector<PoolReport> pools;
  std::string error;
  EXPECT_EQ(ledger_report(pools, uses, error), OK) << error;
  for (const PoolReport& report : pools) {
    if (report.pool == pool) return report;
  }
  ADD_FAILURE() << "no pool " << pool;
  return {};
}

// A station in a child process: body runs there, writes its numbers to out, one a line, and
// its result is the child's exit status.
struct Child {
  pid_t pid = -1;
  int out = -1;
};

Child start_child(const std::function<int(int out)>& body) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    _exit(body(fds[1]));
  }
  close(fds[1]);
  return {pid, fds[0]};
}

void write_number(int out, std::uint64_t number) {
  dprintf(out, "%llu\n", static_cast<unsigned long long>(number));
}

// The child's next count numbers, fewer when it ends first.
Numbers read_numbers(int fd, std::size_t count) {
  Numbers numbers;
  std::string line;
  char c;
  while (numbers.size() < count && read(fd, &c, 1) == 1) {
    if (c != '\n') {
      line += c;
    } else {
      numbers.push_back(std::stoull(line));
      line.clear();
    }
  }
  return numbers;
}

int finish(Child& child) {
  close(child.out);
  int status = 0;
  waitpid(child.pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_P(LedgerConformance, NumbersAreHandedOutSettledAndNeverGivenTwice) {
  std::string error;
  ASSERT_EQ(ledger_open(GetParam().fresh_location(), station_named("s1"), error), OK) << error;
  ASSERT_EQ(ledger_define_pool({"p", 1, 5}, error), OK) << error;
  EXPECT_EQ(ledger_define_pool({"p", 1, 5}, error), OK) << error;
  EXPECT_EQ(ledger_define_pool({"p", 1, 6}, error), LedgerStatus::Refused);
  EXPECT_NE(error.find("1-5"), std::string::npos) << error;
  EXPECT_EQ(reserve("nowhere", "a0").status, LedgerStatus::Refused);

  for (std::uint64_t n = 1; n <= 4; ++n) {
    EXPECT_EQ(reserve("p", "a" + std::to_string(n)).serial, n);
  }
  EXPECT_EQ(reserve("p", "a4").serial, 4u) << "a retried reservation is the same number";

  const struct {
    std::uint64_t serial;
    const char* attempt;
    SerialState to;
    LedgerStatus status;
  } settles[] = {
      {4, "a3", SerialState::Returned, LedgerStatus::Refused},  // another attempt's
      {1, "a1", SerialState::Used, OK},
      {3, "a3", SerialState::Spoiled, OK},
      {4, "a4", SerialState::Returned, OK},
      {2, "a2", SerialState::Returned, OK},
      {1, "a1", SerialState::Used, OK},  // again: a retry
      {1, "a2", SerialState::Used, LedgerStatus::Refused},
      {1, "a1", SerialState::Returned, LedgerStatus::Refused},
      {3, "a3", SerialState::Used, LedgerStatus::Refused},
      {5, "a5", SerialState::Used, LedgerStatus::Refused},  // never handed out
  };
  for (const auto& s : settles) {
    EXPECT_EQ(settle("p", s.serial, s.attempt, s.to), s.status)
        << s.serial << " " << s.attempt << " " << serial_state_name(s.to);
  }

  // Returned numbers first, the lowest first; the used and the spoiled never again.
  EXPECT_EQ(reserve("p", "a5").serial, 2u);
  EXPECT_EQ(reserve("p", "a6").serial, 4u);
  EXPECT_EQ(reserve("p", "a7").serial, 5u);
  EXPECT_EQ(reserve("p", "a8").status, LedgerStatus::Exhausted);
  EXPECT_EQ(settle("p", 2, "a5", SerialState::Spoiled), OK);
  EXPECT_EQ(settle("p", 4, "a6", SerialState::Used), OK);
  EXPECT_EQ(reserve("p", "a8").status, LedgerStatus::Exhausted);

  // A pool may end at the largest number a database keeps, and not past it.
  constexpr std::uint64_t TOP = 0x7FFFFFFFFFFFFFFF;
  EXPECT_EQ(ledger_define_pool({"past", 1, TOP + 1}, error), LedgerStatus::Refused);
  ASSERT_EQ(ledger_define_pool({"top", TOP - 1, TOP}, error), OK) << error;
  EXPECT_EQ(reserve("top", "t1").serial, TOP - 1);
  EXPECT_EQ(reserve("top", "t2").serial, TOP);
  EXPECT_EQ(reserve("top", "t3").status, LedgerStatus::Exhausted);
  EXPECT_EQ(report_of("top").left, 0u);
}

TEST_P(LedgerConformance, AttemptRowsAreOnePerAttemptAndTheReportAgrees) {
  std::string location = GetParam().fresh_location();
  std::string error;
  ASSERT_EQ(ledger_open(location, station_named("s1"), error), OK) << error;
  ASSERT_EQ(ledger_define_pool({"q", 10, 19}, error), OK) << error;
  const struct {
    const char* attempt;
    SerialState to;
    const char* result;
  } attempts[] = {{"a1", SerialState::Used, "PASS"},
                  {"a2", SerialState::Spoiled, "TIMEOUT"},
                  {"a3", SerialState::Returned, "FAIL"},
                  {"a4", SerialState::Reserved, nullptr}};  // still on its board
  for (const auto& a : attempts) {
    std::uint64_t serial = reserve("q", a.attempt).serial;
    if (a.result == nullptr) continue;
    EXPECT_EQ(settle("q", serial, a.attempt, a.to), OK) << a.attempt;
    LedgerAttemptRow row;
    row.attempt_id = a.attempt;
    row.station_id = "s1";
    row.host = HOST;
    row.slot = "slot-" + std::string(a.attempt);
    row.result = a.result;
    row.pool = "q";
    row.has_serial = true;
    row.serial = serial;
    row.image_sha256 = std::string(64, 'a');
    row.record_json = "{\"attempt\":\"" + std::string(a.attempt) + "\"}";
    EXPECT_EQ(ledger_record_attempt(row, error), OK) << error;
    row.result = "ABORTED";  // a retry after a lost answer: the first row stays, alone
    EXPECT_EQ(ledger_record_attempt(row, error), OK) << error;
  }
  EXPECT_EQ(GetParam().query(location, "SELECT COUNT(*) FROM attempts"), "3");
  EXPECT_EQ(GetParam().query(location, "SELECT result FROM attempts WHERE attempt_id = 'a1'"),
            "PASS");

  std::vector<SerialUse> uses;
  PoolReport report = report_of("q", &uses);
  EXPECT_EQ(report.first, 10u);
  EXPECT_EQ(report.last, 19u);
  EXPECT_EQ(report.used, 1u);
  EXPECT_EQ(report.spoiled, 1u);
  EXPECT_EQ(report.returned, 0u);  // 12 went back and out again, to a4
  EXPECT_EQ(report.reserved, 1u);
  EXPECT_EQ(report.left, 7u);  // 13 to 19
  ASSERT_EQ(uses.size(), 3u);
  const struct {
    std::uint64_t serial;
    const char* state;
    const char* attempt;
    const char* slot;
    const char* result;
  } expected[] = {{10, "used", "a1", "slot-a1", "PASS"},
                  {11, "spoiled", "a2", "slot-a2", "TIMEOUT"},
                  {12, "reserved", "a4", "", ""}};
  for (std::size_t i = 0; i < uses.size(); ++i) {
    EXPECT_EQ(uses[i].pool, "q");
    EXPECT_EQ(uses[i].serial, expected[i].serial);
    EXPECT_EQ(uses[i].state, expected[i].state) << uses[i].serial;
    EXPECT_EQ(uses[i].attempt_id, expected[i].attempt) << uses[i].serial;
    EXPECT_EQ(uses[i].station_id, "s1");
    EXPECT_EQ(uses[i].host, HOST);
    EXPECT_EQ(uses[i].slot, expected[i].slot);
    EXPECT_EQ(uses[i].result, expected[i].result);
  }
  std::uint64_t serial = reserve("q", "a5").serial;
  EXPECT_EQ(settle("q", serial, "a5", SerialState::Returned), OK);
  report = report_of("q");
  EXPECT_EQ(report.returned, 1u);
  EXPECT_EQ(report.left, 7u);  // 14 to 19, and 13 returned
}

TEST_P(LedgerConformance, StationsThatDiedHoldingNumbersNeverHandThemOut) {
  std::string location = GetParam().fresh_location();
  const SerialPool pool{"p", 1, 8};
  // A station that takes two numbers and dies with them: on this host it is killed; on another
  // host it ends without a word, and its lease runs on.
  auto holder = [&](const std::string& id, const std::string& host) {
    return start_child([=](int out) {
      std::string error;
      if (ledger_open(location, station_named(id, host), error) != OK ||
          ledger_define_pool(pool, error) != OK) {
        dprintf(2, "%s\n", error.c_str());
        return 1;
      }
      for (const char* attempt : {"-a", "-b"}) {
        Reservation reservation = reserve("p", id + attempt);
        if (reservation.status != OK) return 2;
        write_number(out, reservation.serial);
      }
      if (host == HOST) pause();
      return 0;
    });
  };
  Child killed = holder("killed", HOST);
  EXPECT_EQ(read_numbers(killed.out, 2), (Numbers{1, 2}));
  kill(killed.pid, SIGKILL);
  EXPECT_EQ(finish(killed), 128 + SIGKILL);
  Child elsewhere = holder("elsewhere", "other-pc");
  EXPECT_EQ(read_numbers(elsewhere.out, 2), (Numbers{3, 4}));
  EXPECT_EQ(finish(elsewhere), 0);

  std::string error;
  ASSERT_EQ(ledger_open(location, station_named("next"), error), OK) << error;
  EXPECT_EQ(reserve("p", "n1").serial, 5u);
  PoolReport report = report_of("p");
  EXPECT_EQ(report.spoiled, 2u) << "the killed station's numbers";
  EXPECT_EQ(report.reserved, 3u) << "the other host's lease still runs";

  GetParam().query(location,
                   "UPDATE stations SET lease_until_unix_ms = 0 WHERE station_id = 'elsewhere'");
  EXPECT_EQ(reserve("p", "n2").serial, 6u);
  report = report_of("p");
  EXPECT_EQ(report.spoiled, 4u);
  EXPECT_EQ(report.reserved, 2u) << "this station's own stay reserved";
  EXPECT_EQ(settle("p", 3, "elsewhere-a", SerialState::Used), LedgerStatus::Refused);
  EXPECT_EQ(settle("p", 5, "n1", SerialState::Returned), OK);

  Numbers rest;
  for (int i = 0; i < 8; ++i) {
    Reservation reservation = reserve("p", "r" + std::to_string(i));
    if (reservation.status != OK) {
      EXPECT_EQ(reservation.status, LedgerStatus::Exhausted);
      break;
    }
    rest.push_back(reservation.serial);
  }
  EXPECT_EQ(rest, (Numbers{5, 7, 8}));

  // A station that ended holding numbers (it closed, its process lives on) has lapsed too.
  ledger_close();
  ASSERT_EQ(ledger_open(location, station_named("after"), error), OK) << error;
  EXPECT_EQ(reserve("p", "x").status, LedgerStatus::Exhausted);
  report = report_of("p");
  EXPECT_EQ(report.reserved, 0u);
  EXPECT_EQ(report.spoiled, 8u);
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
  for (int s = 0; s < STATIONS; ++s) {
    children.push_back(start_child([&, s](int out) {
      // Each station opens the ledger (the first creates it) and defines the pool, all at once.
      std::string id = "station" + std::to_string(s);
      std::string error;
      if (ledger_open(location, station_named(id), error) != OK ||
          ledger_define_pool(pool, error) != OK) {
        dprintf(2, "%s: %s\n", id.c_str(), error.c_str());
        return 1;
      }
      for (int i = 0; i < EACH; ++i) {
        std::string attempt = id + "-" + std::to_string(i);
        Reservation reservation = reserve("line", attempt);
        if (reservation.status != OK) return 2;
        if (settle("line", reservation.serial, attempt, SerialState::Used) != OK) return 3;
        write_number(out, reservation.serial);
      }
      ledger_close();
      return 0;
    }));
  }
  Numbers all;
  for (Child& child : children) {
    Numbers numbers = read_numbers(child.out, EACH);
    all.insert(all.end(), numbers.begin(), numbers.end());
    EXPECT_EQ(finish(child), 0);
  }
  std::sort(all.begin(), all.end());
  Numbers expected(STATIONS * EACH);
  std::iota(expected.begin(), expected.end(), pool.first);
  EXPECT_EQ(all, expected);

  std::string error;
  ASSERT_EQ(ledger_open(location, station_named("audit"), error), OK) << error;
  PoolReport report = report_of("line");
  EXPECT_EQ(report.used, expected.size());
  EXPECT_EQ(report.reserved + report.spoiled + report.returned + report.left, 0u);
  EXPECT_EQ(reserve("line", "one-more").status, LedgerStatus::Exhausted);
}

TEST_P(LedgerConformance, SchemaIsVersionedAndANewerOneIsRefused) {
  std::string location = GetParam().fresh_location();
  std::string error;
  ASSERT_EQ(ledger_open(location, LedgerStation{}, error), OK) << error;
  ledger_close();
  EXPECT_EQ(GetParam().query(location, "SELECT COUNT(*) FROM ledger_schema"), "1");
  EXPECT_EQ(GetParam().query(location, "SELECT version FROM ledger_schema"), "1");
  ASSERT_EQ(ledger_open(location, station_named("again"), error), OK) << error;
  ledger_close();

  GetParam().query(location, "UPDATE ledger_schema SET version = 99");
  EXPECT_EQ(ledger_open(location, station_named("old"), error), LedgerStatus::Refused);
  EXPECT_NE(error.find("99"), std::string::npos) << error;
  EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  EXPECT_EQ(GetParam().query(location, "SELECT COUNT(*) FROM stations WHERE station_id = 'old'"),
            "0")
      << "a newer ledger is left untouched";
}

}  // namespace
}  // namespace xarveld::station
