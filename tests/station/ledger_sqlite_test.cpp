// The ledger's conformance cases on SQLite files, and what only a file has: its mode, no
// symbolic link, WAL, and a user who may not write it.
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "tests/station/ledger_conformance.hpp"

namespace xarveld::station {
namespace {

std::string test_root;  // one directory per test process, removed at its end

// Every case's file lies in a directory of its own.
std::string fresh_sqlite_location() {
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
  std::string location = fresh_sqlite_location();
  std::string error;
  LedgerStation station{"s1", "line-pc", getpid()};
  mode_t mask = umask(0002);  // a line's group that shares its files
  ASSERT_EQ(ledger_open(location, station, error), LedgerStatus::Ok) << error;
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

}  // namespace
}  // namespace xarveld::station
