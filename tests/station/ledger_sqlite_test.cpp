// The ledger's conformance cases on SQLite files, and what only a file has: its mode, no
// symbolic link, WAL, a user who may not write it, and when a file is made or written at all.
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/station/ledger_conformance.hpp"

namespace xarveld::station {
namespace {

std::string test_root;  // one directory per test process, removed at its end

// Where a case's file goes, in a directory of its own; no file is there yet.
std::string new_sqlite_path() {
  if (test_root.empty()) {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/ledger-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return "/nonexistent/ledger";
    test_root = pattern;
    std::atexit([] { std::filesystem::remove_all(test_root); });
  }
  static int cases = 0;
  std::string directory = test_root + "/" + std::to_string(++cases);
  std::filesystem::create_directory(directory);
  return directory + "/" + LEDGER_DEFAULT_FILE;
}

// A new ledger there.
std::string fresh_sqlite_location() {
  std::string location = new_sqlite_path(), error;
  if (ledger_open(location, LedgerStation{}, LedgerAccess::Create, error) != LedgerStatus::Ok) {
    ADD_FAILURE() << "cannot make the case's ledger: " << error;
  }
  ledger_close();
  return location;
}

std::string sqlite_query(const std::string& location, const std::string& sql) {
  sqlite3* db = nullptr;
  std::string value;
  // Created when missing: a case may make an older ledger by hand.
  if (sqlite3_open_v2(location.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                      nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
    int code = sqlite3_step(stmt);
    if (code == SQLITE_ROW && sqlite3_column_text(stmt, 0) != nullptr) {
      value = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    }
    EXPECT_TRUE(code == SQLITE_ROW || code == SQLITE_DONE) << sql << ": " << sqlite3_errmsg(db);
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return value;
}

// SQLite's 'now' is this PC's clock, as the station's is, to the millisecond.
constexpr const char* SQLITE_NOW_MS =
    "CAST(ROUND((julianday('now') - 2440587.5) * 86400000) AS INTEGER)";

INSTANTIATE_TEST_SUITE_P(SQLite, LedgerConformance,
                         testing::Values(LedgerUnderTest{"SQLite", fresh_sqlite_location,
                                                         sqlite_query, SQLITE_NOW_MS}),
                         [](const auto& instance) { return instance.param.name; });

TEST(SqliteLedger, FileModeLinksWalAndUsersWhoMayNotWrite) {
  std::string location = new_sqlite_path();
  std::string error;
  LedgerStation station{"s1", "line-pc", getpid()};
  mode_t mask = umask(0002);  // a line's group that shares its files
  ASSERT_EQ(ledger_open(location, station, LedgerAccess::Create, error), LedgerStatus::Ok) << error;
  umask(mask);
  ledger_close();
  struct stat info {};
  ASSERT_EQ(stat(location.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0664u);
  EXPECT_EQ(sqlite_query(location, "PRAGMA journal_mode"), "wal");

  std::string link = location + "-link";
  ASSERT_EQ(symlink(location.c_str(), link.c_str()), 0);
  EXPECT_EQ(ledger_open(link, station, error), LedgerStatus::Refused);
  EXPECT_NE(error.find(link), std::string::npos) << error;

  // Another user, who may read the file but not write it, is told so and nothing else.
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  ASSERT_EQ(chmod(location.c_str(), 0644), 0);
  std::string directory = std::filesystem::path(location).parent_path().string();
  ASSERT_EQ(chmod(directory.c_str(), 0755), 0);
  ASSERT_EQ(chmod(test_root.c_str(), 0755), 0);
  pid_t pid = fork();
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
    std::string child_error;
    LedgerStatus status = ledger_open(location, {"nobody", "line-pc", getpid()}, child_error);
    bool told = child_error.find("may not write") != std::string::npos;
    _exit(status == LedgerStatus::Refused && told ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

std::string file_bytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// A ledger is made only when asked for, and only where none is; anything else at the location is
// told for what it is. A report opens it read-only: a reader who may not write the file gets the
// report, and neither the ledger nor another program's database changes by a byte.
TEST(SqliteLedger, MadeOnlyWhenAskedForAndAReportWritesNothing) {
  constexpr LedgerStatus OK = LedgerStatus::Ok, REFUSED = LedgerStatus::Refused;
  const LedgerStation station{"s1", "line-pc", getpid()};
  std::string location = new_sqlite_path(), error;
  std::string directory = std::filesystem::path(location).parent_path().string();
  // Named from the working directory, said in full.
  std::string here = std::filesystem::current_path().string();
  ASSERT_EQ(chdir(directory.c_str()), 0);
  for (LedgerAccess access : {LedgerAccess::Existing, LedgerAccess::ReadOnly}) {
    EXPECT_EQ(ledger_open(LEDGER_DEFAULT_FILE, station, access, error), REFUSED);
    EXPECT_NE(error.find("no ledger at " + location + ": make it once with --new-ledger"),
              std::string::npos)
        << error;
  }
  ASSERT_EQ(chdir(here.c_str()), 0);
  EXPECT_FALSE(std::filesystem::exists(location));

  ASSERT_EQ(ledger_open(location, station, LedgerAccess::Create, error), OK) << error;
  ASSERT_EQ(ledger_define_pool({"p", 1, 9}, error), OK) << error;
  std::uint64_t serial = 0;
  std::vector<LapsedNumber> lapsed;
  ASSERT_EQ(ledger_reserve({"p", "a1", "a", 1, 1}, serial, lapsed, error), OK) << error;
  ledger_close();
  EXPECT_EQ(ledger_open(location, station, LedgerAccess::Create, error), REFUSED);
  EXPECT_NE(error.find("start without --new-ledger"), std::string::npos) << error;

  // Another program's database, with a rollback journal: a reader leaves no file beside it.
  std::string other = directory + "/other.sqlite";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(other.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, "CREATE TABLE notes (note TEXT)", nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  std::string other_bytes = file_bytes(other);
  for (LedgerAccess access : {LedgerAccess::ReadOnly, LedgerAccess::Existing}) {
    EXPECT_EQ(ledger_open(other, station, access, error), REFUSED);
    EXPECT_NE(error.find(other + ": is not a ledger"), std::string::npos) << error;
  }
  EXPECT_EQ(file_bytes(other), other_bytes);
  EXPECT_FALSE(std::filesystem::exists(other + "-journal") ||
               std::filesystem::exists(other + "-wal"));

  // The ledger, for a reader who may only read it, in a directory he may write: SQLite keeps
  // the WAL's shared index beside it.
  std::string bytes = file_bytes(location);
  ASSERT_EQ(chmod(location.c_str(), 0444), 0);
  ASSERT_EQ(chmod(directory.c_str(), 0777), 0);
  ASSERT_EQ(chmod(test_root.c_str(), 0755), 0);
  pid_t pid = fork();
  if (pid == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
    std::string child_error;
    std::vector<PoolReport> pools;
    bool read = ledger_open(location, {}, LedgerAccess::ReadOnly, child_error) == OK &&
                ledger_report(pools, nullptr, child_error) == OK;
    ledger_close();
    if (!read) std::fprintf(stderr, "%s\n", child_error.c_str());
    _exit(read && pools.size() == 1 && pools[0].reserved == 1 ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(file_bytes(location), bytes);
}

}  // namespace
}  // namespace xarveld::station
