// The PostgreSQL ledger against a server of the case's own, which goes away, comes back and
// freezes under an open ledger, or turns a station away. What every backend does is in
// ledger_conformance.cpp.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "station/ledger/ledger_backend.hpp"
#include "tests/support/postgres_server.hpp"

namespace xarveld::station {

// Statuses by name in failure messages.
static void PrintTo(LedgerStatus status, std::ostream* out) {
  const char* const NAMES[] = {"Ok", "Exhausted", "Unreachable", "Refused"};
  *out << NAMES[static_cast<int>(status)];
}

namespace {

using test::PostgresServer;

void skip_without_server(std::string& skipped) {
  if (POSTGRES_LEDGER == nullptr) skipped = "the station was built without libpq";
  if (test::postgres_binaries().empty()) {
    skipped = "the PostgreSQL server is not installed (scripts/install-deps installs it)";
  }
}

// A cluster of the case's own, to stop and start.
struct Cluster {
  PostgresServer server;
  std::string location;
  ~Cluster() { test::postgres_destroy(server); }
};

void start(Cluster& cluster) {
  std::string skipped, why;
  skip_without_server(skipped);
  if (!skipped.empty()) GTEST_SKIP() << skipped;
  ASSERT_TRUE(test::postgres_create(cluster.server, why)) << why;
  ASSERT_TRUE(test::postgres_create_database(cluster.server, "ledger", why)) << why;
  cluster.location = test::postgres_location(cluster.server, "ledger");
}

std::string host_name() {
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  return name;
}

LedgerStation station(const std::string& id) {
  return {id, host_name(), static_cast<std::int64_t>(getpid())};
}

const SerialPool POOL = {"board", 10, 14};

std::uint64_t reserve(const std::string& attempt) {
  std::uint64_t serial = 0;
  std::string error;
  std::vector<LapsedNumber> lapsed;
  EXPECT_EQ(POSTGRES_LEDGER->reserve({POOL.name, attempt, "a", 1, 1}, serial, lapsed, error),
            LedgerStatus::Ok)
      << attempt << ": " << error;
  return serial;
}

LedgerStatus settle(std::uint64_t serial, const std::string& attempt, SerialState to) {
  std::string error;
  return POSTGRES_LEDGER->settle(POOL.name, serial, attempt, to, nullptr, error);
}

LedgerAttemptRow attempt_row(const std::string& attempt_id, std::uint64_t serial) {
  return {.attempt_id = attempt_id,
          .station_id = "st",
          .host = host_name(),
          .slot = "a",
          .board = 1,
          .attempt = 1,
          .start_unix_ms = 0,
          .end_unix_ms = 0,
          .result = "PASS",
          .reason_code = "",
          .exit_status = 0,
          .pool = POOL.name,
          .has_serial = true,
          .serial = serial,
          .image_sha256 = std::string(64, 'a'),
          .image_sha256_burnt = std::string(64, 'b'),
          .record_json = "{}"};
}

PoolReport report() {
  std::vector<PoolReport> pools;
  std::string error;
  EXPECT_EQ(POSTGRES_LEDGER->report(pools, nullptr, error), LedgerStatus::Ok) << error;
  return pools.empty() ? PoolReport() : pools[0];
}

std::string count_attempts(const std::string& location, const std::string& attempt_id) {
  return test::postgres_value(location,
                              "SELECT count(*) FROM attempts WHERE attempt_id = '" + attempt_id +
                                  "'");
}

// Each call while the server is gone or frozen returns Unreachable (the case's timeout is the
// bound on a hang); once it is back the same open ledger works again.
TEST(LedgerPostgres, ServerGoneAndBackUnderAnOpenLedger) {
  Cluster cluster;
  start(cluster);
  if (cluster.location.empty()) return;
  const LedgerBackend& pg = *POSTGRES_LEDGER;
  std::string error, why;
  ASSERT_EQ(pg.open(cluster.location, station("st"), LedgerAccess::Create, error),
            LedgerStatus::Ok)
      << error;
  ASSERT_EQ(pg.define_pool(POOL, error), LedgerStatus::Ok) << error;
  EXPECT_EQ(reserve("a1"), 10u);
  ASSERT_EQ(pg.record_attempt(attempt_row("a1", 10), error), LedgerStatus::Ok) << error;

  ASSERT_TRUE(test::postgres_stop(cluster.server, why)) << why;
  std::uint64_t serial = 0;
  std::vector<LapsedNumber> lapsed;
  EXPECT_EQ(pg.reserve({POOL.name, "a2", "a", 2, 1}, serial, lapsed, error),
            LedgerStatus::Unreachable);
  EXPECT_NE(error.find(cluster.server.dir), std::string::npos) << error;  // names the server
  EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  // The attempt row again, as after an answer that was lost.
  EXPECT_EQ(pg.record_attempt(attempt_row("a1", 10), error), LedgerStatus::Unreachable);
  EXPECT_EQ(pg.renew_lease(error), LedgerStatus::Unreachable);
  EXPECT_EQ(settle(10, "a1", SerialState::Used), LedgerStatus::Unreachable);

  ASSERT_TRUE(test::postgres_start(cluster.server, why)) << why;
  EXPECT_EQ(pg.record_attempt(attempt_row("a1", 10), error), LedgerStatus::Ok) << error;
  EXPECT_EQ(count_attempts(cluster.location, "a1"), "1");
  EXPECT_EQ(settle(10, "a1", SerialState::Used), LedgerStatus::Ok);
  EXPECT_EQ(reserve("a2"), 11u);

  // Restarted while the ledger sat idle: the first call finds its connection broken and goes on
  // over a new one; the attempt whose answer was lost gets its number again, not a second one.
  ASSERT_TRUE(test::postgres_stop(cluster.server, why)) << why;
  ASSERT_TRUE(test::postgres_start(cluster.server, why)) << why;
  EXPECT_EQ(reserve("a2"), 11u);
  EXPECT_EQ(reserve("a3"), 12u);

  // Frozen: the server takes connections and statements but never answers.
  std::vector<pid_t> frozen = test::postgres_processes(cluster.server);
  ASSERT_GE(frozen.size(), 2u);
  for (pid_t pid : frozen) kill(pid, SIGSTOP);
  EXPECT_EQ(pg.reserve({POOL.name, "a4", "a", 4, 1}, serial, lapsed, error),
            LedgerStatus::Unreachable);
  EXPECT_EQ(pg.renew_lease(error), LedgerStatus::Unreachable);  // a new connection, unanswered
  for (pid_t pid : frozen) kill(pid, SIGCONT);
  EXPECT_EQ(reserve("a4"), 13u);
  EXPECT_EQ(report().reserved, 3u);
  EXPECT_EQ(test::postgres_value(cluster.location,
                                 "SELECT count(*) FROM serials WHERE attempt_id = 'a4'"),
            "1");
  pg.close();
}

// Each way a server turns a station away has its own answer, and none is "try again later" but a
// server that is not there; no answer shows the password. The tables are made only when asked
// for, in a database without them, and a report makes nothing.
TEST(LedgerPostgres, TurnedAwayForWhatReasonAndNothingMadeUnasked) {
  Cluster cluster;
  start(cluster);
  if (cluster.location.empty()) return;
  // The role "line", the database's owner, logs in with a password; the others stay trusted.
  const std::string dir = cluster.server.dir, hba = dir + "/data/pg_hba.conf";
  std::stringstream rules;
  rules << std::ifstream(hba).rdbuf();
  std::ofstream(hba) << "local all line scram-sha-256\n" << rules.str();
  ASSERT_EQ(test::postgres_value(cluster.location, "CREATE ROLE line LOGIN PASSWORD 'sesame-7'"),
            "");
  ASSERT_EQ(test::postgres_value(cluster.location, "ALTER DATABASE ledger OWNER TO line"), "");
  ASSERT_EQ(test::postgres_value(cluster.location, "SELECT pg_reload_conf()"), "t");
  unsetenv("PGPASSWORD");
  const std::string socket = "?host=" + dir;
  const std::string good = "postgresql://line:sesame-7@/ledger" + socket;
  const struct {
    std::string location;
    LedgerStatus status;
    std::string said;
  } answers[] = {
      {"postgresql://line:wrong-7@/ledger" + socket, LedgerStatus::Refused,
       "wrong user or password"},
      {"host=" + dir + " dbname=ledger user=line password='wrong 7'", LedgerStatus::Refused,
       "wrong user or password"},
      {"postgresql://line@/ledger" + socket, LedgerStatus::Refused, "asks for a password"},
      {"postgresql://line:sesame-7@/elsewhere" + socket, LedgerStatus::Refused, "no such database"},
      {good + "&colour=blue", LedgerStatus::Refused, "malformed PostgreSQL location"},
      {"postgres:/line:sesame-7@" + dir + "/ledger", LedgerStatus::Refused,
       "malformed PostgreSQL URL postgres:/line:***@"},
      {good + "/gone", LedgerStatus::Unreachable, "cannot be reached"},
      {good, LedgerStatus::Refused, "is not a ledger"},
  };
  std::string error;
  for (const auto& answer : answers) {
    for (LedgerAccess access : {LedgerAccess::Existing, LedgerAccess::ReadOnly}) {
      EXPECT_EQ(ledger_open(answer.location, station("st"), access, error), answer.status)
          << answer.said;
      EXPECT_NE(error.find(answer.said), std::string::npos) << error;
      EXPECT_EQ(error.find("sesame"), std::string::npos) << error;
      EXPECT_EQ(error.find("wrong-7"), std::string::npos) << error;
      EXPECT_EQ(error.find("wrong 7"), std::string::npos) << error;
    }
  }
  const std::string tables = "SELECT count(*) FROM pg_tables WHERE schemaname = 'public'";
  EXPECT_EQ(test::postgres_value(cluster.location, tables), "0");
  ASSERT_EQ(ledger_open(good, {}, LedgerAccess::Create, error), LedgerStatus::Ok) << error;
  ledger_close();
  EXPECT_EQ(ledger_open(good, station("st"), LedgerAccess::Create, error), LedgerStatus::Refused);
  EXPECT_NE(error.find("holds a ledger already"), std::string::npos) << error;
  ASSERT_EQ(ledger_open(good, station("st"), LedgerAccess::ReadOnly, error), LedgerStatus::Ok)
      << error;
  ledger_close();
  EXPECT_EQ(test::postgres_value(cluster.location, "SELECT count(*) FROM stations"), "0")
      << "a report takes no lease";

  // Mid-shift the server turns the reconnection away (the password changed): a wait, said with
  // why, never a no for good that would drop the writes that wait.
  ASSERT_EQ(ledger_open(good, station("st"), LedgerAccess::Existing, error), LedgerStatus::Ok)
      << error;
  test::postgres_value(cluster.location, "ALTER ROLE line PASSWORD 'sesame-8'");
  test::postgres_value(cluster.location, "SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
                                         " WHERE usename = 'line'");
  for (int call = 0; call < 2; ++call) {  // over the broken connection, then without one
    EXPECT_EQ(ledger_renew_lease(error), LedgerStatus::Unreachable);
    EXPECT_NE(error.find("wrong user or password"), std::string::npos) << error;
  }
  test::postgres_value(cluster.location, "ALTER ROLE line PASSWORD 'sesame-7'");
  EXPECT_EQ(ledger_renew_lease(error), LedgerStatus::Ok) << error;
  ledger_close();
}

}  // namespace
}  // namespace xarveld::station
