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

std::size_t count_of(const std::string& text, const std::string& piece) {
  std::size_t count = 0;
  for (std::size_t at = 0; (at = text.find(piece, at)) != std::string::npos; at += piece.size()) {
    ++count;
  }
  return count;
}

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
    bool full_leg_only;  // lost answers cost 20-s waits
  };
  const std::vector<Soak> soaks = {
      {"0.02", "corrupt,fragment", 16384, 3, false}, {"0.05", "corrupt,fragment", 16384, 3, false},
      {"0.1", "corrupt,fragment", 16384, 3, false},  {"0.2", "corrupt,fragment", 8192, 3, false},
      {"0.4", "corrupt", 4096, 3, false},            {"0.003", "drop,corrupt,fragment", 16384, 1, true},
  };
  int runs = 0, successes = 0;
  for (const Soak& soak : soaks) {
    if (soak.full_leg_only && quick()) continue;
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
        successes += check_invariant(run, dump("device5.bin"), image, label);
      }
    }
  }
  std::cout << "fault soak: " << runs << " runs, " << successes << " successes, "
            << runs - successes << " honest failures\n";
  RecordProperty("runs", runs);
  RecordProperty("successes", successes);
  EXPECT_GT(successes, 0);
}

// A pulled cable: every read fails from then on. The tool must give up within the time its
// retries allow, print its failure, and neither flood the screen nor spin.
void expect_calm_failure(const Finished& run, double longest_seconds) {
  EXPECT_EQ(run.status, 1);
  EXPECT_LT(run.seconds, longest_seconds);
  std::size_t messages = count_of(run.out, "Serial Read Error = 0\r\n");
  EXPECT_GT(messages, 0u);
  // At most one failed read, and so one message, per 20-ms read interval.
  EXPECT_LE(messages, static_cast<std::size_t>(run.seconds / 0.020) + 5) << messages;
  EXPECT_LT(run.cpu_seconds, 0.05 * run.seconds) << run.cpu_seconds << " s of CPU";
}

TEST_F(Reliability, PortVanishingWhileConnecting) {
  write_file(path("drv.bin"), random_bytes(4096, 31));
  start_sim({"--hangup-after", "50e:1"});
  Finished run = run_tool({"-l", "drv.bin", "-p", "dev.bin"});
  // Two detection passes of six one-second waits.
  expect_calm_failure(run, 14);
  EXPECT_TRUE(run.out.ends_with("\r\nConnection timed out!\r\n")) << run.out.substr(0, 200);
}

TEST_F(Reliability, PortVanishingWhileProgramming) {
  if (quick()) GTEST_SKIP() << "XARVELD_E2E_QUICK: the retries take 80 s; the release leg runs it";
  write_file(path("dev.bin"), random_bytes(65536, 32));
  start_sim({"--hangup-after", "501:40"});
  Finished run = run_tool({"-p", "-v", "dev.bin"});
  // One 20-s wait for the data block, then three for its resync.
  expect_calm_failure(run, 85);
  EXPECT_TRUE(run.out.ends_with("\r\nUnable to program dev.bin.\r\n")) << run.out.substr(0, 200);
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

  // Exactly 8 MiB and one byte more load the same 8 MiB (shown on device 6, which sends nothing).
  std::string full = random_bytes(0x800000, 33);
  write_file(path("full.bin"), full);
  write_file(path("over.bin"), full + "!");
  for (const char* name : {"full.bin", "over.bin"}) {
    Finished run = run_tool({"-d", "6", "-p", name});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, opened + "\r\nLoaded Bin file: " + name +
                           "\r\nSize = 0x00800000 Bytes\r\nInvalid device #: 6\r\n"
                           "\r\nUnable to program " + name + ".\r\n");
  }
  finish_sim(0);
  std::size_t data_before = received(0x501).size();
  EXPECT_EQ(data_before, 0u);
  EXPECT_EQ(received(0x502).size(), 2u);  // the empty image's two announcements

  if (quick()) return;
  // The oversized file goes through whole: its first 8 MiB, nothing beyond.
  std::filesystem::remove(path("wire.txt"));
  start_sim();
  Finished over = run_tool({"-p", "-x", "over.bin"}, 300);
  EXPECT_EQ(over.status, 0);
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
  for (const std::string& word : tool_command()) argv.push_back(word);
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
