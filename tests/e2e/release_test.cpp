// Exclusive use of the port and its release, whatever the ending. Root passes a port's exclusive
// mode, so when the suite runs as root the tool runs here as an ordinary user (nobody): only then
// does a port left exclusive refuse the next run, as it would at any bench.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "tests/e2e/support/e2e_fixture.hpp"

namespace xarveld::e2e {
namespace {

class Release : public SimE2eTest {
 protected:
  void SetUp() override {
    if (!tool_is_native()) GTEST_SKIP() << "POSIX users and signals";
    SimE2eTest::SetUp();
    command = tool_command();
    if (geteuid() == 0) {
      // The ordinary user writes log.txt here; it reads the images root wrote (mode 644), and
      // runs the copies of the tool and the shim made here.
      chmod(dir.c_str(), 0777);
      user = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"};
      command[0] = reachable_copy(command[0]);
      shim = reachable_copy(shim);
    }
  }

  // The simulated target, on a line the ordinary user may open, as a member of dialout would.
  void start_line(const std::vector<std::string>& options) {
    start_sim(options);
    chmod(slave_path.c_str(), 0666);
  }

  std::vector<std::string> tool(const std::vector<std::string>& arguments,
                                const std::vector<std::string>& environment = {}) {
    std::vector<std::string> argv = user;
    if (!environment.empty()) {
      argv.push_back("env");
      argv.insert(argv.end(), environment.begin(), environment.end());
    }
    argv.insert(argv.end(), command.begin(), command.end());
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
  }

  std::vector<std::string> user;
  std::vector<std::string> command;  // the tool
  std::string shim = XARVELD_SETTINGS_SHIM_PATH;
};

TEST_F(Release, EveryEndingLetsGoOfThePortForTheNextRun) {
  write_file(path("dev.bin"), random_bytes(16384, 40));
  // The first run, while it holds the port, refuses a second; once it has ended, whatever the
  // ending, the next run takes the port.
  struct Ending {
    const char* name;
    std::vector<std::string> sim;
    std::function<void(pid_t)> end_it;  // empty: the run ends by itself
    int status;
    int signal;
  };
  const Ending endings[] = {
      {"a normal end", {"--pace", "115200", "--serve-forever"}, nullptr, 0, 0},
      {"an interrupt", {"--silent", "--serve-forever"}, [](pid_t run) { kill(run, SIGINT); }, -1,
       SIGINT},
      {"a vanished port", {"--pace", "115200", "--hangup-after", "501:64"}, nullptr, 1, 0},
  };
  for (const Ending& ending : endings) {
    start_line(ending.sim);
    Background first = start_background(tool({"-p", "dev.bin"}), dir);
    ASSERT_TRUE(wait_until([&] { return received(0x502).size() == 1; }, 10)) << ending.name;
    Finished second = run_to_end(tool({"-x"}), dir, 30);
    EXPECT_EQ(second.out, "Could not open serial port!\r\n") << ending.name;
    if (ending.end_it) ending.end_it(first.pid);
    int signal = 0;
    EXPECT_EQ(finish(first, 30, &signal), ending.status) << ending.name;
    EXPECT_EQ(signal, ending.signal) << ending.name;
    if (ending.status == 1) start_line({"--serve-forever"});  // the line was cut: a new one
    Finished next = run_to_end(tool({"-x"}), dir, 30);
    EXPECT_EQ(next.out, "Serial port opened...\r\nConnection closed.\r\n") << ending.name;
  }

  // Settings that do not take (a driver that keeps its own speed): the port is refused, nothing
  // is sent, and its exclusive mode, set before the settings were tried, is cleared again.
  start_line({"--serve-forever"});
  Finished refused = run_to_end(
      tool({"-x"}, {"LD_PRELOAD=" + shim,
                    "ASAN_OPTIONS=verify_asan_link_order=0"}),
      dir, 30);
  EXPECT_EQ(refused.out, "Could not open serial port!\r\n");
  EXPECT_EQ(refused.status, 1);
  EXPECT_TRUE(wire_log().empty()) << "something was sent on a port that was refused";
  Finished next = run_to_end(tool({"-x"}), dir, 30);
  EXPECT_EQ(next.out, "Serial port opened...\r\nConnection closed.\r\n") << "after the refusal";
}

}  // namespace
}  // namespace xarveld::e2e
