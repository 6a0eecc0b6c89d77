// The lock file, in a lock directory of the case's own, against what other programs, other runs
// and hostile users leave there.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "link/port_lock.hpp"
#include "tests/support/files.hpp"

namespace xarveld {
namespace {

using test::read_file;
using test::write_file;

std::string pid_text(pid_t pid) { return std::to_string(pid) + "\n"; }

// Another run's fresh lock, put in place the way a lock is: whole, in one step.
void lay_lock(const std::string& lock, const std::string& content) {
  write_file(lock + ".new", content);
  ASSERT_EQ(rename((lock + ".new").c_str(), lock.c_str()), 0);
}

class PortLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "xarveld-lock-XXXXXX").string();
    dir = mkdtemp(pattern.data());
    lock = dir + "/LCK..ttyTEST0";
    write_file(dir + "/ttyTEST0", "");  // stands for the device: the lock only names it
    dead = fork();
    if (dead == 0) _exit(0);
    waitpid(dead, nullptr, 0);
  }
  void TearDown() override {
    port_lock_release();
    port_lock_stale_hook = nullptr;
    port_lock_clock = nullptr;
    std::filesystem::remove_all(dir);
  }
  PortLockOutcome take() { return port_lock_take_in(dir, dir + "/ttyTEST0").outcome; }

  std::string dir;
  std::string lock;
  pid_t dead = 0;
};

// Process 1 stands for a live holder: it is there, whoever runs the case.
TEST_F(PortLockTest, ALockIsJudgedByItsProcessNumberWhateverItsForm) {
  const int binary_one = 1;
  const struct {
    const char* what;
    std::string content;
    int age_seconds;
    PortLockOutcome outcome;
  } cases[] = {
      {"ASCII", "1\n", 0, PortLockOutcome::Held},
      {"ASCII in 4 bytes", "  1\n", 0, PortLockOutcome::Held},
      {"a binary int", std::string(reinterpret_cast<const char*>(&binary_one), 4), 0,
       PortLockOutcome::Held},
      {"a process that is gone", pid_text(dead), 0, PortLockOutcome::Taken},
      {"past any process number", "4294967295\n", 0, PortLockOutcome::Taken},
      {"past a long's 32 bits", "99999999999\n", 0, PortLockOutcome::Taken},
      {"empty, a moment old", "", 0, PortLockOutcome::Held},
      {"empty, a minute old", "", 60, PortLockOutcome::Taken},
  };
  for (const auto& c : cases) {
    write_file(lock, c.content);
    timespec when[2] = {{time(nullptr) - c.age_seconds, 0}, {time(nullptr) - c.age_seconds, 0}};
    utimensat(AT_FDCWD, lock.c_str(), when, 0);
    EXPECT_EQ(take(), c.outcome) << c.what;
    if (c.outcome == PortLockOutcome::Held) {
      EXPECT_EQ(read_file(lock), c.content) << c.what;
      continue;
    }
    struct stat taken {};
    EXPECT_EQ(stat(lock.c_str(), &taken), 0);
    EXPECT_EQ(taken.st_mode & 0777, 0644u) << c.what << ": other programs read the lock";
    port_lock_release();
  }
}

// Symlinks and FIFOs a local user plants, under the lock's name or under a name a run could
// guess for its draft, while root runs the tool.
TEST_F(PortLockTest, PlantedFilesAreNeitherFollowedNorRemoved) {
  const std::string target = dir + "/root-owned";
  write_file(target, "precious\n");
  const std::string draft = dir + "/LTMP." + std::to_string(getpid());
  ASSERT_EQ(symlink(target.c_str(), draft.c_str()), 0);
  alarm(20);  // a FIFO that blocks an open fails the case rather than hanging it
  ASSERT_EQ(symlink(target.c_str(), lock.c_str()), 0);
  EXPECT_EQ(take(), PortLockOutcome::Held) << "symlink";
  ASSERT_EQ(unlink(lock.c_str()), 0);
  ASSERT_EQ(mkfifo(lock.c_str(), 0644), 0);
  EXPECT_EQ(take(), PortLockOutcome::Held) << "FIFO";
  EXPECT_TRUE(std::filesystem::is_fifo(lock));
  alarm(0);
  ASSERT_EQ(unlink(lock.c_str()), 0);
  EXPECT_EQ(take(), PortLockOutcome::Taken) << "symlink as the draft";
  EXPECT_EQ(read_file(target), "precious\n");
}

// Two runs find the same stale lock; the other one replaces it with its own before this one
// removes it. And a lock of this run's that another replaced is not this run's to remove.
TEST_F(PortLockTest, AnotherRunsLockIsNeverRemoved) {
  write_file(lock, pid_text(dead));
  port_lock_stale_hook = [](const std::string& name) { lay_lock(name, pid_text(1)); };
  EXPECT_EQ(take(), PortLockOutcome::Held);
  EXPECT_EQ(read_file(lock), pid_text(1));

  port_lock_stale_hook = nullptr;
  ASSERT_EQ(unlink(lock.c_str()), 0);
  ASSERT_EQ(take(), PortLockOutcome::Taken);
  lay_lock(lock, pid_text(1));
  port_lock_release();
  EXPECT_EQ(read_file(lock), pid_text(1));
}

// What killed runs leave: drafts and locks moved aside. Taking the lock removes those a minute
// old that are this user's regular files, and nothing a name leads to.
TEST_F(PortLockTest, LeftoverDraftsAMinuteOldAreRemovedWhenTheLockIsTaken) {
  namespace fs = std::filesystem;
  const std::string target = dir + "/root-owned";
  write_file(target, "precious\n");
  write_file(dir + "/LTMP.left", pid_text(dead));
  write_file(dir + "/LTMPnot-a-draft", "");
  ASSERT_EQ(symlink(target.c_str(), (dir + "/LTMP.link").c_str()), 0);
  ASSERT_EQ(mkfifo((dir + "/LTMP.fifo").c_str(), 0644), 0);
  // Another user's, where this case may make one.
  if (geteuid() == 0) {
    write_file(dir + "/LTMP.other", "");
    ASSERT_EQ(chown((dir + "/LTMP.other").c_str(), 65534, 65534), 0);
  }
  ASSERT_EQ(take(), PortLockOutcome::Taken);
  EXPECT_TRUE(fs::exists(dir + "/LTMP.left")) << "a moment old: its run may still be at work";
  port_lock_release();

  // A second over the minute: a file's change time may come from a finer clock than time()'s
  // and read as the next second.
  port_lock_clock = [] { return time(nullptr) + 61; };
  ASSERT_EQ(take(), PortLockOutcome::Taken);
  EXPECT_FALSE(fs::exists(dir + "/LTMP.left"));
  EXPECT_TRUE(fs::is_symlink(dir + "/LTMP.link"));
  EXPECT_TRUE(fs::is_fifo(dir + "/LTMP.fifo"));
  EXPECT_TRUE(fs::exists(dir + "/LTMPnot-a-draft"));
  EXPECT_EQ(fs::exists(dir + "/LTMP.other"), geteuid() == 0);
  EXPECT_EQ(read_file(target), "precious\n");
}

}  // namespace
}  // namespace xarveld
