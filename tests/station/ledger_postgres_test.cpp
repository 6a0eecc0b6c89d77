// The PostgreSQL ledger against a real server (a throwaway cluster per case): numbers through
// their states, stations at once as real processes, a station killed holding numbers, and the
// server going away and coming back under an open ledger.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <limits>
#include <ostream>
#include <set>

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

// An empty database on the process's shared cluster; empty when the case skips.
void fresh_ledger(std::string& location) {
  std::string skipped, why;
  skip_without_server(skipped);
  if (!skipped.empty()) GTEST_SKIP() << skipped;
  location = test::postgres_fresh_location(why);
  ASSERT_FALSE(location.empty()) << why;
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

LedgerStation station(const std::string& id, const std::string& host = host_name()) {
  return {id, host, static_cast<std::int64_t>(getpid())};
}

const SerialPool POOL = {"board", 10, 14};

std::uint64_t reserve(const std::string& attempt, LedgerStatus expected = LedgerStatus::Ok) {
  std::uint64_t serial = 0;
  std::string error;
  EXPECT_EQ(POSTGRES_LEDGER->reserve(POOL.name, attempt, serial, error), expected)
      << attempt << ": " << error;
  return serial;
}

LedgerStatus settle(std::uint64_t serial, const std::string& attempt, SerialState to) {
  std::string error;
  return POSTGRES_LEDGER->settle(POOL.name, serial, attempt, to, error);
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
          .exit_status = 0,
          .pool = POOL.name,
          .has_serial = true,
          .serial = serial,
          .image_sha256 = std::string(64, 'a'),
          .image_sha256_burnt = std::string(64, 'b'),
          .record_json = "{}"};
}

PoolReport report(std::vector<SerialUse>* uses = nullptr) {
  std::vector<PoolReport> pools;
  std::string error;
  EXPECT_EQ(POSTGRES_LEDGER->report(pools, uses, error), LedgerStatus::Ok) << error;
  return pools.empty() ? PoolReport() : pools[0];
}

std::string count_attempts(const std::string& location, const std::string& attempt_id) {
  return test::postgres_value(location,
                              "SELECT count(*) FROM attempts WHERE attempt_id = '" + attempt_id +
                                  "'");
}

TEST(LedgerPostgres, NumbersThroughTheirStates) {
  std::string location;
  fresh_ledger(location);
  if (location.empty()) return;
  const LedgerBackend& pg = *POSTGRES_LEDGER;
  std::string error;
  ASSERT_EQ(pg.open(location, station("st"), error), LedgerStatus::Ok) << error;
  ASSERT_EQ(pg.define_pool(POOL, error), LedgerStatus::Ok) << error;
  EXPECT_EQ(pg.define_pool(POOL, error), LedgerStatus::Ok) << error;
  EXPECT_EQ(pg.define_pool({"board", 10, 20}, error), LedgerStatus::Refused);

  EXPECT_EQ(reserve("a1"), 10u);
  EXPECT_EQ(reserve("a2"), 11u);
  EXPECT_EQ(reserve("a2"), 11u);  // the same attempt keeps its number
  EXPECT_EQ(reserve("a3"), 12u);
  EXPECT_EQ(settle(10, "a1", SerialState::Returned), LedgerStatus::Ok);
  EXPECT_EQ(settle(11, "a2", SerialState::Used), LedgerStatus::Ok);
  EXPECT_EQ(settle(11, "a2", SerialState::Used), LedgerStatus::Ok);  // a retry
  EXPECT_EQ(settle(11, "a2", SerialState::Returned), LedgerStatus::Refused);
  EXPECT_EQ(settle(12, "a9", SerialState::Spoiled), LedgerStatus::Refused);  // not its number
  EXPECT_EQ(settle(12, "a3", SerialState::Spoiled), LedgerStatus::Ok);
  EXPECT_EQ(reserve("b1"), 10u);  // returned: handed out again first
  EXPECT_EQ(reserve("b2"), 13u);
  EXPECT_EQ(reserve("b3"), 14u);
  reserve("b4", LedgerStatus::Exhausted);
  EXPECT_EQ(settle(14, "b3", SerialState::Returned), LedgerStatus::Ok);
  EXPECT_EQ(settle(10, "b1", SerialState::Returned), LedgerStatus::Ok);
  EXPECT_EQ(reserve("b5"), 10u);  // the lowest returned first
  EXPECT_EQ(reserve("b6"), 14u);

  ASSERT_EQ(pg.record_attempt(attempt_row("a2", 11), error), LedgerStatus::Ok) << error;
  ASSERT_EQ(pg.record_attempt(attempt_row("a2", 11), error), LedgerStatus::Ok) << error;
  EXPECT_EQ(count_attempts(location, "a2"), "1");

  // A pool that ends where BIGINT does.
  constexpr std::uint64_t TOP = std::numeric_limits<std::int64_t>::max();
  ASSERT_EQ(pg.define_pool({"top", TOP - 1, TOP}, error), LedgerStatus::Ok) << error;
  for (std::uint64_t expected : {TOP - 1, TOP, std::uint64_t{0}}) {
    std::uint64_t serial = 0;
    EXPECT_EQ(pg.reserve("top", "t" + std::to_string(expected), serial, error),
              expected ? LedgerStatus::Ok : LedgerStatus::Exhausted) << error;
    EXPECT_EQ(serial, expected);
  }

  std::vector<SerialUse> uses;
  PoolReport counts = report(&uses);
  EXPECT_EQ(counts.used, 1u);
  EXPECT_EQ(counts.spoiled, 1u);
  EXPECT_EQ(counts.reserved, 3u);
  EXPECT_EQ(counts.returned, 0u);
  EXPECT_EQ(counts.left, 0u);
  ASSERT_EQ(uses.size(), 7u);  // five of "board", two of "top"
  EXPECT_EQ(uses[1].serial, 11u);
  EXPECT_EQ(uses[1].state, "used");
  EXPECT_EQ(uses[1].result, "PASS");
  EXPECT_EQ(uses[1].slot, "a");
  pg.close();

  // A ledger whose schema a newer station wrote is not touched.
  test::postgres_value(location, "UPDATE ledger_schema SET version = 2");
  EXPECT_EQ(pg.open(location, station("st2"), error), LedgerStatus::Refused);
  EXPECT_NE(error.find("version 2"), std::string::npos) << error;
}

// Runs body in a child process; its exit status is body's.
pid_t in_child(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

int exit_status(pid_t pid) {
  int raw = 0;
  waitpid(pid, &raw, 0);
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : 100 + WTERMSIG(raw);
}

TEST(LedgerPostgres, StationsAtOnceAgainstAnEmptyDatabase) {
  std::string location;
  fresh_ledger(location);
  if (location.empty()) return;
  constexpr int STATIONS = 6;
  constexpr int EACH = 20;
  const SerialPool pool = {"board", 1, 1000};
  int numbers[2];
  ASSERT_EQ(pipe(numbers), 0);
  std::vector<pid_t> children;
  for (int s = 0; s < STATIONS; ++s) {
    children.push_back(in_child([&, s] {
      close(numbers[0]);
      const LedgerBackend& pg = *POSTGRES_LEDGER;
      std::string id = "st" + std::to_string(s), error;
      // Each creates the schema and the pool if they are not there yet.
      if (pg.open(location, station(id), error) != LedgerStatus::Ok) return 1;
      if (pg.define_pool(pool, error) != LedgerStatus::Ok) return 2;
      for (int i = 0; i < EACH; ++i) {
        std::uint64_t serial = 0;
        std::string attempt = id + "-" + std::to_string(i);
        if (pg.reserve(pool.name, attempt, serial, error) != LedgerStatus::Ok) return 3;
        if (write(numbers[1], &serial, sizeof serial) != sizeof serial) return 4;
        if (pg.settle(pool.name, serial, attempt, SerialState::Used, error) != LedgerStatus::Ok) {
          return 5;
        }
      }
      pg.close();
      return 0;
    }));
  }
  close(numbers[1]);
  std::set<std::uint64_t> issued;
  std::uint64_t serial = 0;
  int count = 0;
  while (read(numbers[0], &serial, sizeof serial) == sizeof serial) {
    issued.insert(serial);
    ++count;
  }
  close(numbers[0]);
  for (pid_t child : children) EXPECT_EQ(exit_status(child), 0);
  EXPECT_EQ(count, STATIONS * EACH);
  ASSERT_EQ(issued.size(), static_cast<std::size_t>(STATIONS * EACH));  // all distinct
  EXPECT_EQ(*issued.rbegin(), static_cast<std::uint64_t>(STATIONS * EACH));  // none skipped
  std::string error;
  ASSERT_EQ(POSTGRES_LEDGER->open(location, station("counter"), error), LedgerStatus::Ok)
      << error;
  EXPECT_EQ(report().used, static_cast<std::uint64_t>(STATIONS * EACH));
  POSTGRES_LEDGER->close();
}

TEST(LedgerPostgres, KilledStationsNumbersAreSpoiledNeverReissued) {
  std::string location;
  fresh_ledger(location);
  if (location.empty()) return;
  const LedgerBackend& pg = *POSTGRES_LEDGER;
  std::string error;
  ASSERT_EQ(pg.open(location, station("setup"), error), LedgerStatus::Ok) << error;
  ASSERT_EQ(pg.define_pool({"board", 1, 100}, error), LedgerStatus::Ok) << error;
  pg.close();

  // Two stations reserve three numbers each and are killed: one on this host, one that says it
  // runs on another PC (its pid means nothing here; only its lease can lapse).
  std::set<std::uint64_t> dead_here, dead_away;
  for (const char* host : {"here", "away"}) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    bool here = std::string(host) == "here";
    pid_t child = in_child([&] {
      close(ready[0]);
      LedgerStation me = station(host, here ? host_name() : "another-pc");
      if (pg.open(location, me, error) != LedgerStatus::Ok) return 1;
      for (int i = 0; i < 3; ++i) {
        std::uint64_t serial = 0;
        if (pg.reserve("board", me.id + std::to_string(i), serial, error) != LedgerStatus::Ok) {
          return 2;
        }
        if (write(ready[1], &serial, sizeof serial) != sizeof serial) return 3;
      }
      close(ready[1]);
      pause();
      return 0;
    });
    close(ready[1]);
    std::uint64_t serial = 0;
    while (read(ready[0], &serial, sizeof serial) == sizeof serial) {
      (here ? dead_here : dead_away).insert(serial);
    }
    close(ready[0]);
    kill(child, SIGKILL);
    EXPECT_EQ(exit_status(child), 100 + SIGKILL);
  }
  ASSERT_EQ(dead_here.size(), 3u);
  ASSERT_EQ(dead_away.size(), 3u);

  ASSERT_EQ(pg.open(location, station("alive"), error), LedgerStatus::Ok) << error;
  std::uint64_t serial = 0;
  ASSERT_EQ(pg.reserve("board", "alive-1", serial, error), LedgerStatus::Ok) << error;
  EXPECT_EQ(serial, 7u);
  std::vector<SerialUse> uses;
  PoolReport counts = report(&uses);
  EXPECT_EQ(counts.spoiled, 3u);   // this host's dead station: its process is gone
  EXPECT_EQ(counts.reserved, 4u);  // the other PC's lease still runs, and ours
  for (const SerialUse& use : uses) {
    if (dead_here.count(use.serial)) {
      EXPECT_EQ(use.state, "spoiled") << use.serial;
    }
    if (dead_away.count(use.serial)) {
      EXPECT_EQ(use.state, "reserved") << use.serial;
    }
  }

  // The other PC's lease lapses by the server's clock: its numbers are spoiled by the next look.
  test::postgres_value(location,
                       "UPDATE stations SET lease_until_unix_ms ="
                       " (EXTRACT(EPOCH FROM clock_timestamp()) * 1000)::BIGINT - 1"
                       " WHERE station_id = 'away'");
  ASSERT_EQ(pg.reserve("board", "alive-2", serial, error), LedgerStatus::Ok) << error;
  EXPECT_EQ(serial, 8u);
  counts = report();
  EXPECT_EQ(counts.spoiled, 6u);
  EXPECT_EQ(counts.reserved, 2u);
  pg.close();
}

// Each call while the server is gone or frozen returns Unreachable (the case's timeout is the
// bound on a hang); once it is back the same open ledger works again.
TEST(LedgerPostgres, ServerGoneAndBackUnderAnOpenLedger) {
  Cluster cluster;
  start(cluster);
  if (cluster.location.empty()) return;
  const LedgerBackend& pg = *POSTGRES_LEDGER;
  std::string error, why;
  ASSERT_EQ(pg.open(cluster.location, station("st"), error), LedgerStatus::Ok) << error;
  ASSERT_EQ(pg.define_pool(POOL, error), LedgerStatus::Ok) << error;
  EXPECT_EQ(reserve("a1"), 10u);
  ASSERT_EQ(pg.record_attempt(attempt_row("a1", 10), error), LedgerStatus::Ok) << error;

  ASSERT_TRUE(test::postgres_stop(cluster.server, why)) << why;
  std::uint64_t serial = 0;
  EXPECT_EQ(pg.reserve(POOL.name, "a2", serial, error), LedgerStatus::Unreachable);
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
  EXPECT_EQ(pg.reserve(POOL.name, "a4", serial, error), LedgerStatus::Unreachable);
  EXPECT_EQ(pg.renew_lease(error), LedgerStatus::Unreachable);  // a new connection, unanswered
  for (pid_t pid : frozen) kill(pid, SIGCONT);
  EXPECT_EQ(reserve("a4"), 13u);
  EXPECT_EQ(report().reserved, 3u);
  EXPECT_EQ(test::postgres_value(cluster.location,
                                 "SELECT count(*) FROM serials WHERE attempt_id = 'a4'"),
            "1");
  pg.close();
}

// Not a check: the cost of one board (reserve, settle, attempt row) over the local socket, and
// of starting a cluster. Run with --gtest_also_run_disabled_tests.
TEST(LedgerPostgres, DISABLED_CostPerBoard) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point begin = Clock::now();
  Cluster cluster;
  start(cluster);
  if (cluster.location.empty()) return;
  double start_s = std::chrono::duration<double>(Clock::now() - begin).count();
  std::printf("cluster start (initdb + start + CREATE DATABASE): %.3f s\n", start_s);
  const LedgerBackend& pg = *POSTGRES_LEDGER;
  std::string error;
  ASSERT_EQ(pg.open(cluster.location, station("st"), error), LedgerStatus::Ok) << error;
  ASSERT_EQ(pg.define_pool({"board", 1, 100000}, error), LedgerStatus::Ok) << error;
  for (const char* fsync : {"off", "on"}) {
    test::postgres_value(cluster.location, std::string("ALTER SYSTEM SET fsync = ") + fsync);
    test::postgres_value(cluster.location,
                         std::string("ALTER SYSTEM SET synchronous_commit = ") + fsync);
    test::postgres_value(cluster.location, "SELECT pg_reload_conf()");
    constexpr int BOARDS = 200;
    begin = Clock::now();
    for (int i = 0; i < BOARDS; ++i) {
      std::string attempt = std::string(fsync) + std::to_string(i);
      std::uint64_t serial = 0;
      ASSERT_EQ(pg.reserve("board", attempt, serial, error), LedgerStatus::Ok) << error;
      ASSERT_EQ(pg.settle("board", serial, attempt, SerialState::Used, error), LedgerStatus::Ok);
      ASSERT_EQ(pg.record_attempt(attempt_row(attempt, serial), error), LedgerStatus::Ok);
    }
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
    std::printf("fsync %s: %d boards in %.1f ms, %.3f ms per board\n", fsync, BOARDS, ms,
                ms / BOARDS);
  }
  pg.close();
}

}  // namespace
}  // namespace xarveld::station
