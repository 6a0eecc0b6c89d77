// Whole runs of xarveld-read against the simulated target holding a board it did not burn.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/e2e/support/e2e_fixture.hpp"

namespace xarveld::e2e {
namespace {

// XARVELD_E2E_READ names another build, e.g. "wine /path/xarveld-read.exe".
std::vector<std::string> read_command() {
  return configured_command("XARVELD_E2E_READ", XARVELD_READ_PATH);
}

std::string command_output(const std::string& command) {
  std::string text;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return text;
  char buffer[256];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
  pclose(pipe);
  return text;
}

std::string sha256_of(const std::string& file) {
  return command_output("sha256sum '" + file + "'").substr(0, 64);
}

class Read : public SimE2eTest {
 protected:
  // The board's device 5 holds image; the run's output file goes to out/, so that whatever a
  // run leaves there can be seen.
  void SetUp() override {
    SimE2eTest::SetUp();
    image = random_bytes(5000, 28);
    write_file(path("board.bin"), image);
    std::filesystem::create_directory(path("out"));
  }

  Finished run_read(const std::vector<std::string>& arguments, double timeout_seconds = 30) {
    std::vector<std::string> argv = read_command();
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    Finished finished = run_to_end(argv, dir, timeout_seconds);
    EXPECT_FALSE(finished.timed_out);
    return finished;
  }

  std::size_t files_in_out() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(path("out"))) {
      ++count;
    }
    return count;
  }

  // The CMD_BEGINs received with this operation and start offset.
  std::size_t begins(std::uint16_t operation, std::uint32_t start) {
    std::size_t count = 0;
    for (const WireFrame& frame : received(0x502)) {
      if (frame.words.size() > 4 && frame.words[1] == operation &&
          static_cast<std::uint32_t>(frame.words[3] | frame.words[4] << 16) == start) {
        ++count;
      }
    }
    return count;
  }

  std::string image;
};

TEST_F(Read, ReadsExactlyTheRangeAskedForInEitherFraming) {
  start_sim({"--load", "5=" + path("board.bin"), "--serve-forever"});
  Finished whole = run_read({"--length", "5000", "out/whole.bin"});
  EXPECT_EQ(whole.status, 0) << whole.err;
  EXPECT_EQ(read_file(path("out/whole.bin")), image);
  EXPECT_EQ(whole.out, "read device=5 start=0x000000 end=0x001388 bytes=5000 sha256=" +
                           sha256_of(path("out/whole.bin")) + "\n");
  EXPECT_EQ(wire_count("rx", "yenc"), 0u) << "without -l the link stays raw";

  // An odd length, through the driver and yEnc framing.
  write_file(path("driver.bin"), random_bytes(2100, 7));
  Finished middle = run_read({"-l", "driver.bin", "--start", "0x100", "--length", "3001",
                              "out/middle.bin"});
  EXPECT_EQ(middle.status, 0) << middle.err;
  EXPECT_EQ(read_file(path("out/middle.bin")), image.substr(0x100, 3001));
  EXPECT_GT(wire_count("rx", "yenc"), 0u);
  EXPECT_EQ(middle.out, "read device=5 start=0x000100 end=0x000cb9 bytes=3001 sha256=" +
                            sha256_of(path("out/middle.bin")) + "\n");

  // An existing file is kept unless --force.
  write_file(path("out/kept.bin"), "kept");
  Finished refused = run_read({"--length", "16", "out/kept.bin"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(read_file(path("out/kept.bin")), "kept");
  // An odd start as well.
  EXPECT_EQ(run_read({"--start", "1", "--length", "16", "--force", "out/kept.bin"}).status, 0);
  EXPECT_EQ(read_file(path("out/kept.bin")), image.substr(1, 16));
}

TEST_F(Read, WritesIntelHexAtTheDeviceOwnOffsets) {
  if (command_output("command -v objcopy").empty()) GTEST_SKIP() << "no objcopy to read it back";
  // Across a 64-KiB boundary, so the upper address must change on the way.
  image = random_bytes(0x10100, 5);
  write_file(path("board.bin"), image);
  start_sim({"--load", "5=" + path("board.bin")});
  Finished hex = run_read({"--start", "0xFFE1", "--length", "0x41", "out/part.hex"});
  ASSERT_EQ(hex.status, 0) << hex.err;
  command_output("objcopy -I ihex -O binary '" + path("out/part.hex") + "' '" + path("part.bin") +
                 "' 2>&1");
  EXPECT_EQ(read_file(path("part.bin")), image.substr(0xFFE1, 0x41));
  // objcopy drops the addresses: the records must carry the device's own.
  std::string text = read_file(path("out/part.hex"));
  EXPECT_NE(text.find(":020000040000FA\n:0FFFE100"), std::string::npos) << text;
  EXPECT_NE(text.find(":020000040001F9\n"), std::string::npos) << text;
  EXPECT_EQ(text.substr(text.size() - 12), ":00000001FF\n");
}

TEST_F(Read, AByteGoneWrongOnTheLineNeverReachesTheFile) {
  // Offset 0x423 lies in the second KiB; the third data answer comes short.
  start_sim({"--load", "5=" + path("board.bin"), "--flip", "5:0x423:1", "--short-read", "3"});
  Finished run = run_read({"--length", "2048", "out/faults.bin"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(read_file(path("out/faults.bin")), image.substr(0, 2048));
  EXPECT_EQ(begins(0x0200, 0x40), 1u) << "the short answer is read again from its offset";
  EXPECT_EQ(begins(0x0300, 0x400), 1u) << "the KiB is confirmed by its sum again";

  // Flips of 1 to 7 reads cancel in pairs: the byte comes wrong on every data read and right on
  // every sum. Three reads of the KiB, then the run fails and writes nothing.
  std::vector<std::string> options = {"--load", "5=" + path("board.bin")};
  for (int times = 1; times <= 7; ++times) {
    options.insert(options.end(), {"--flip", "5:0x423:" + std::to_string(times)});
  }
  start_sim(options);
  Finished failed = run_read({"--length", "2048", "out/never.bin"});
  EXPECT_EQ(failed.status, 2);
  EXPECT_NE(failed.err.find("KiB at offset 0x000400 of device 5"), std::string::npos) << failed.err;
  EXPECT_EQ(begins(0x0300, 0x400), 3u);
  EXPECT_EQ(files_in_out(), 1u);
}

TEST_F(Read, TroubleLeavesNoFileAndThePortFree) {
  // The line is cut under the twentieth read.
  start_sim({"--load", "5=" + path("board.bin"), "--hangup-after", "639:20"});
  Finished cut = run_read({"--length", "4096", "out/cut.bin"});
  EXPECT_EQ(cut.status, 2);
  EXPECT_NE(cut.err.find("port was lost"), std::string::npos) << cut.err;

  // A port that cannot be opened is trouble too, not a difference. COM2 leads nowhere, never to
  // the machine's own /dev/ttyS1.
  std::filesystem::create_symlink(path("nowhere/COM2"), path("COM2"));
  EXPECT_EQ(run_read({"-c", "2", "--length", "64", "out/noport.bin"}).status, 2);

  start_sim({"--silent", "--serve-forever"});
  Finished silent = run_read({"--length", "64", "out/silent.bin"});
  EXPECT_EQ(silent.status, 2);
  EXPECT_LT(silent.seconds, 8);
  EXPECT_NE(silent.err.find("no answer from the loader"), std::string::npos) << silent.err;
  EXPECT_EQ(files_in_out(), 0u) << "no output and no partial file beside it";

  start_sim({"--load", "5=" + path("board.bin")});
  EXPECT_EQ(run_read({"--length", "64", "out/next.bin"}).status, 0) << "the port is free";
}

// A virus scanner or an indexer holds the file being replaced for a moment: the run waits for it
// rather than failing after the whole read.
TEST_F(Read, AFileHeldForAMomentIsReplacedOnceLetGo) {
  const char* holder_command = std::getenv("XARVELD_E2E_HOLD_FILE");
  if (tool_is_native() || holder_command == nullptr) {
    GTEST_SKIP() << "Windows sharing modes; scripts/wine-e2e names the holder";
  }
  write_file(path("out/held.bin"), "kept");
  start_sim({"--load", "5=" + path("board.bin")});
  std::vector<std::string> argv = configured_command("XARVELD_E2E_HOLD_FILE", "");
  argv.insert(argv.end(), {"out/held.bin", "600"});
  Background holder = start_background(argv, dir);
  ASSERT_EQ(read_line(holder, 30), "held\r");  // a Windows text stream
  Finished run = run_read({"--length", "64", "--force", "out/held.bin"});
  EXPECT_EQ(finish(holder, 10), 0);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(read_file(path("out/held.bin")), image.substr(0, 64));
  EXPECT_EQ(files_in_out(), 1u) << "nothing left beside it";
}

TEST_F(Read, AnInterruptEndsAsTheSignalDoesAndLeavesNoFile) {
  if (!tool_is_native()) GTEST_SKIP() << "POSIX signals; Wine cannot deliver a console Ctrl-C";
  start_sim({"--silent", "--serve-forever"});
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    std::vector<std::string> argv = read_command();
    argv.insert(argv.end(), {"--length", "64", "out/stopped.bin"});
    Background run = start_background(argv, dir);
    std::size_t pings = received(0x50E).size();
    ASSERT_TRUE(wait_until([&] { return received(0x50E).size() > pings; }, 10));
    kill(run.pid, signal_number);
    int ended_by = 0;
    finish(run, 10, &ended_by);
    EXPECT_EQ(ended_by, signal_number);
  }
  EXPECT_EQ(files_in_out(), 0u) << "no output and no partial file beside it";

  start_sim({"--load", "5=" + path("board.bin")});
  EXPECT_EQ(run_read({"--length", "64", "out/next.bin"}).status, 0) << "the port is free";
}

TEST_F(Read, ComparesByTheLoaderSumsAndReadsOnlyTheBlocksThatDiffer) {
  std::string other = image;
  other[0x10] = static_cast<char>(other[0x10] ^ 1);
  other[0x11] = static_cast<char>(other[0x11] ^ 2);
  other[0xC02] = static_cast<char>(other[0xC02] ^ 4);
  write_file(path("same.bin"), image);
  write_file(path("other.bin"), other);
  start_sim({"--load", "5=" + path("board.bin"), "--serve-forever"});

  Finished same = run_read({"--compare", "same.bin"});
  EXPECT_EQ(same.status, 0) << same.err;
  EXPECT_EQ(same.out, "same device=5 start=0x000000 end=0x001388 bytes=5000 by=sums\n");
  EXPECT_EQ(begins(0x0200, 0), 0u) << "equal sums need no data read";

  Finished differs = run_read({"--compare", "other.bin"});
  EXPECT_EQ(differs.status, 1) << differs.err;
  EXPECT_EQ(differs.out, "differs device=5 start=0x000000 end=0x001388 bytes=5000 differing=3 "
                         "ranges=0x000010-0x000011,0x000c02-0x000c02\n");
  EXPECT_EQ(begins(0x0200, 0x400), 0u) << "a KiB whose sum agrees is not read";

  // Equal sums are not proof: --exact reads every byte.
  std::size_t data_reads = begins(0x0200, 0);
  Finished exact = run_read({"--compare", "same.bin", "--exact"});
  EXPECT_EQ(exact.status, 0);
  EXPECT_EQ(exact.out, "same device=5 start=0x000000 end=0x001388 bytes=5000 by=bytes\n");
  EXPECT_EQ(begins(0x0200, 0), data_reads + 1);

  start_sim({"--silent"});
  Finished silent = run_read({"--compare", "same.bin"});
  EXPECT_EQ(silent.status, 2) << "trouble, not a difference";
  EXPECT_EQ(silent.out, "");
}

}  // namespace
}  // namespace xarveld::e2e
