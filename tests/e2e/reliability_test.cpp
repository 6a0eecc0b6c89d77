// What a bench can throw at the tool: noisy lines, a pulled cable, several boards at once, bad
// files. The rule throughout: success is reported only for a board that holds the right bytes.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>

#include "tests/e2e/support/e2e_fixture.hpp"

namespace xarveld::e2e {
namespace {

bool quick() { return std::getenv("XARVELD_E2E_QUICK") != nullptr; }

class Reliability : public SimE2eTest {
 protected:
  // Checks the one invariant of a run that programs and verifies: status 0 with "Verification
  // Successful" exactly when the device holds the image, otherwise a failure message and 1.
  // Returns true for a successful run.
  bool check_invariant(const Finished& run, const std::string& device, const std::string& image,
                       const std::string& label) {
    bool right = device.substr(0, image.size()) == image;
    bool reported_success =
        run.out.find("Verification Successful\r\nConnection closed.\r\n") != std::string::npos;
    if (run.status == 0) {
      EXPECT_TRUE(reported_success) << label << "\n" << run.out;
      EXPECT_TRUE(right) << label << ": success reported for a device with the wrong bytes";
      return true;
    }
    EXPECT_EQ(run.status, 1) << label;
    EXPECT_FALSE(reported_success) << label;
    bool failure_told = run.out.find("Unable to program") != std::string::npos ||
                        run.out.find("*** Verification failed.") != std::string::npos ||
                        run.out.find("*** Checksum verification failed.") != std::string::npos;
    EXPECT_TRUE(failure_told) << label << "\n" << run.out;
    return false;
  }
};

TEST_F(Reliability, FaultSoakNeverReportsSuccessForWrongContents) {
  struct Soak {
    const char* chaos;
    const char* kinds;
    std::size_t size;
    int seeds;
    // A tool that gives up too soon falls short; at 0.4 every run may fail, honestly.
    int at_least_succeed;
    bool full_leg_only;  // lost answers, and lost or garbled commands, cost 20-s waits
  };
  const std::vector<Soak> soaks = {
      {"0.02", "corrupt,fragment", 16384, 3, 3, false},
      {"0.05", "corrupt,fragment", 16384, 3, 3, false},
      {"0.1", "corrupt,fragment", 16384, 3, 3, false},
      {"0.2", "corrupt,fragment", 8192, 3, 3, false},
      {"0.4", "corrupt", 4096, 3, 0, false},
      // Both ways: the seeds of its place in the list lose a command, garble one and drop an
      // answer, three 20-s waits.
      {"0.0008", "drop,corrupt,fragment,lose-command,garble-command", 32768, 2, 2, true},
  };
  int runs = 0, successes = 0;
  std::size_t commands_lost = 0, commands_garbled = 0;
  for (const Soak& soak : soaks) {
    if (soak.full_leg_only && quick()) continue;
    int soak_successes = 0;
    for (int seed = 1; seed <= soak.seeds; ++seed) {
      for (const char* verify : {"-v", "-x"}) {
        std::string image = random_bytes(soak.size, static_cast<std::uint32_t>(seed * 97 + soak.size));
        write_file(path("dev.bin"), image);
        std::filesystem::remove_all(path("dump"));
        start_sim({"--seed", std::to_string(seed * 1000 + runs), "--chaos", soak.chaos,
                   "--chaos-kinds", soak.kinds});
        Finished run = run_tool({"-p", verify, "dev.bin"}, 600);
        finish_sim(0.5);
        std::string label = std::string("chaos ") + soak.chaos + " " + soak.kinds + " seed " +
                            std::to_string(seed) + " " + verify;
        ++runs;
        soak_successes += check_invariant(run, dump("device5.bin"), image, label);
        commands_lost += wire_count("rx", "lost");
        commands_garbled += wire_count("rx", "junk");
      }
    }
    EXPECT_GE(soak_successes, soak.at_least_succeed) << "chaos " << soak.chaos << " " << soak.kinds;
    successes += soak_successes;
  }
  std::cout << "fault soak: " << runs << " runs, " << successes << " successes, "
            << runs - successes << " honest failures\n";
  RecordProperty("runs", runs);
  RecordProperty("successes", successes);
  if (!quick()) {
    EXPECT_GT(commands_lost, 0u);
    EXPECT_GT(commands_garbled, 0u) << "no command was garbled";
  }
}

TEST_F(Reliability, FourBoardsAtOnce) {
  if (!tool_is_native()) GTEST_SKIP() << "only COM1 is mapped for the Windows build";
  struct Bench {
    std::string dir;
    std::string image;
    std::string slave;
    Background sim;
    Finished run;
  };
  std::vector<Bench> benches(4);
  for (int n = 1; n <= 4; ++n) {
    Bench& bench = benches[n - 1];
    bench.dir = path("bench" + std::to_string(n));
    std::filesystem::create_directories(bench.dir + "/dump");
    bench.image = random_bytes(40000 + 1000 * static_cast<std::size_t>(n), 40 + n);
    write_file(bench.dir + "/dev.bin", bench.image);
    // Board 2 runs at a real line's pace, so that it is still busy when a second tool tries it.
    std::vector<std::string> argv = {sim_path(), "--dir", bench.dir, "--port", std::to_string(n),
                                     "--dump", bench.dir + "/dump"};
    if (n == 2) argv.insert(argv.end(), {"--pace", "115200"});
    bench.sim = start_background(argv, bench.dir);
    std::string ready = read_line(bench.sim, 10);
    ASSERT_NE(ready.find(" ready"), std::string::npos);
    bench.slave = ready.substr(0, ready.find(' '));
  }
  std::vector<std::thread> tools;
  for (int n = 1; n <= 4; ++n) {
    tools.emplace_back([&benches, n] {
      std::vector<std::string> argv = tool_command();
      argv.insert(argv.end(), {"-c", std::to_string(n), "-p", "-x", "dev.bin"});
      benches[n - 1].run = run_to_end(argv, benches[n - 1].dir, 120);
    });
  }
  // A second tool on board 2's port, from a directory of its own (in board 2's directory it would
  // truncate the running tool's log.txt before finding the port taken).
  std::filesystem::create_directory(path("intruder"));
  std::filesystem::create_symlink(benches[1].slave, path("intruder/COM2"));
  usleep(500000);
  std::vector<std::string> intruder = tool_command();
  intruder.insert(intruder.end(), {"-c", "2", "-v", "dev.bin"});
  Finished refused = run_to_end(intruder, path("intruder"), 30);
  for (std::thread& tool : tools) tool.join();
  EXPECT_EQ(refused.out, "Could not open serial port!\r\n");
  EXPECT_EQ(refused.status, 1);

  for (int n = 1; n <= 4; ++n) {
    Bench& bench = benches[n - 1];
    EXPECT_EQ(finish(bench.sim, 5), 0) << n;
    EXPECT_EQ(bench.run.status, 0) << n << "\n" << bench.run.out;
    EXPECT_EQ(bench.run.err, "") << n;
    std::string device = read_file(bench.dir + "/dump/device5.bin");
    EXPECT_EQ(device.substr(0, bench.image.size()), bench.image) << n;
    // Each log.txt holds its own run: one command record per block of its own image and the
    // trace of nobody else's (the refused tool never got as far as its log, its port failed).
    std::string log = read_file(bench.dir + "/log.txt");
    EXPECT_EQ(count_of(log, "Command: f501"), (bench.image.size() + 31) / 32) << n;
    EXPECT_EQ(count_of(log, "\r\nVerification complete\r\n"), 1u) << n;
  }
}

TEST_F(Reliability, BadDeviceFiles) {
  start_sim({"--serve-forever"});
  const std::string opened = "Serial port opened...\r\n";
  // A directory opens on POSIX but cannot be read: never a truncated image.
  std::filesystem::create_directory(path("folder.bin"));
  Finished folder = run_tool({"-p", "-v", "folder.bin"});
  EXPECT_EQ(folder.out, opened + "Could not open bin file: folder.bin\r\n");
  EXPECT_EQ(folder.status, 1);

  // Empty: only the announcements, and the verification succeeds.
  write_file(path("empty.bin"), "");
  Finished empty = run_tool({"-p", "-v", "empty.bin"});
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.out, opened +
                           "\r\nLoaded Bin file: empty.bin\r\nSize = 0x00000000 Bytes\r\n"
                           "\r\nBurning flash.Done!\r\n"
                           "\r\nLoaded Bin file: empty.bin\r\nSize = 0x00000000 Bytes\r\n"
                           "Verifying data\r\n\rVerification Successful\r\nConnection closed.\r\n");

  // Exactly 8 MiB loads whole (shown on device 6, which sends nothing); one byte more could only
  // be burnt in part, and is refused before anything is sent.
  std::string full = random_bytes(0x800000, 33);
  write_file(path("full.bin"), full);
  write_file(path("over.bin"), full + "!");
  Finished whole = run_tool({"-d", "6", "-p", "full.bin"});
  EXPECT_EQ(whole.status, 1);
  EXPECT_EQ(whole.out, opened +
                           "\r\nLoaded Bin file: full.bin\r\nSize = 0x00800000 Bytes\r\n"
                           "Invalid device #: 6\r\n\r\nUnable to program full.bin.\r\n");
  Finished over = run_tool({"-p", "-v", "over.bin"});
  EXPECT_EQ(over.status, 1);
  EXPECT_EQ(over.out, opened + "Bin file too large: over.bin\r\n");
  finish_sim(0);
  std::size_t data_before = received(0x501).size();
  EXPECT_EQ(data_before, 0u);
  EXPECT_EQ(received(0x502).size(), 2u);  // the empty image's two announcements

  if (quick()) return;
  // The largest image goes through whole.
  std::filesystem::remove(path("wire.txt"));
  start_sim();
  Finished burnt = run_tool({"-p", "-x", "full.bin"}, 300);
  EXPECT_EQ(burnt.status, 0);
  EXPECT_EQ(finish_sim(), 0);
  EXPECT_EQ(dump("device5.bin"), full);
}

TEST_F(Reliability, UnreadableDeviceFile) {
  if (!tool_is_native()) GTEST_SKIP() << "runs the tool as another user, which Wine's prefix is not";
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the tool as a user who cannot read";
  start_sim();
  write_file(path("secret.bin"), random_bytes(64, 34));
  chmod(path("secret.bin").c_str(), 0000);
  // The user "nobody" may use the line and the working directory, but not the file.
  chmod(slave_path.c_str(), 0666);
  chmod(dir.c_str(), 0777);
  std::vector<std::string> argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  std::vector<std::string> command = tool_command();
  command[0] = reachable_copy(command[0]);  // the build tree may be root's alone
  argv.insert(argv.end(), command.begin(), command.end());
  argv.insert(argv.end(), {"-p", "secret.bin"});
  Finished run = run_to_end(argv, dir, 30);
  EXPECT_EQ(run.out, "Serial port opened...\r\nCould not open bin file: secret.bin\r\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "");
  finish_sim(0);
  EXPECT_TRUE(wire_log().empty());
}

}  // namespace
}  // namespace xarveld::e2e
