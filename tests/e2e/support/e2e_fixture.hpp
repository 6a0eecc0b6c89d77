#pragma once
// One end-to-end case: a fresh working directory, a pseudo-terminal whose slave the tool opens as
// COM1, a peer on the master (a scripted one in this process, or the simulated target), and the
// real tool run as a child process. The tool's command comes from the environment
// (XARVELD_E2E_TOOL, e.g. "wine /path/xarveld.exe"; XARVELD_E2E_READ for xarveld-read), so the
// same cases run every build.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/support/child_process.hpp"
#include "tests/support/files.hpp"

namespace xarveld::e2e {

using Bytes = std::vector<std::uint8_t>;

// One line of the simulator's wire log: a frame it received or sent, decoded.
struct WireFrame {
  double milliseconds = 0;
  std::string direction;  // "rx" or "tx"
  std::string framing;    // "raw", "yenc", or "junk" for received bytes that held no packet
  std::vector<std::uint16_t> words;
};

using test::read_file;
using test::USAGE_TEXT;
using test::write_file;
std::string random_bytes(std::size_t count, std::uint32_t seed);
// How often piece occurs in text, without overlaps.
std::size_t count_of(const std::string& text, const std::string& piece);
// Polls condition every 20 ms for up to seconds; true once it holds.
bool wait_until(const std::function<bool()>& condition, double seconds);

class E2eTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string path(const std::string& name) const { return dir + "/" + name; }

  // Runs the tool in the working directory with these arguments.
  Finished run_tool(const std::vector<std::string>& arguments, double timeout_seconds = 120);

  // A pseudo-terminal owned by the test, published as COM1; the test keeps its slave open
  // (slave_fd) to read back the settings the tool applied.
  void open_own_line();
  // Frames (raw packets or yEnc lines) arriving on the own line are handed to answer, which
  // returns the bytes to send back (possibly none).
  void serve_own_line(std::function<Bytes(const Bytes& frame)> answer);
  // Ends the scripted peer, waiting for an answer it is still making.
  void stop_serving();
  // Every frame received by the scripted peer so far.
  std::vector<Bytes> frames_received();

  // Starts xarveld-sim with these extra options on its own pseudo-terminal, published as COM1 of
  // the working directory, dumping into dir/dump and logging the wire into dir/wire.txt; returns
  // once it is listening.
  void start_sim(const std::vector<std::string>& options = {});
  // Waits for the simulator to end by itself (it does after CMD_DISCONNECT), else ends it;
  // returns its exit status.
  int finish_sim(double timeout_seconds = 5);
  // A file the simulator dumped ("sram.bin", "device5.bin"); empty when it wrote none.
  std::string dump(const std::string& name);
  std::vector<WireFrame> wire_log();
  // The commands of this code (the header's low 12 bits) the simulator received.
  std::vector<WireFrame> received(std::uint16_t code);
  // Frames of the wire log with this direction and framing: ("rx", "lost") are commands chaos
  // lost on their way in, ("rx", "junk") received bytes that held no valid packet.
  std::size_t wire_count(const std::string& direction, const std::string& framing);

  // A copy of the file in the working directory, executable by all, for a case that runs it as
  // another user: the build tree may lie under a directory only its owner enters (a clone in
  // /root). A bare command name is returned as it is.
  std::string reachable_copy(const std::string& file);

  // Points the tool's COM1 at slave (a symlink in the working directory, or the configured
  // fixed link the Windows build's COM1 is mapped to). Under Wine COM1 is the only port a case
  // can reach: COM2 to COM9 are mapped to nothing that opens.
  void publish_com1(const std::string& slave);

  std::string dir;
  int master_fd = -1;
  int slave_fd = -1;
  std::string slave_path;

 private:
  void peer_loop();
  std::thread peer;
  std::atomic<bool> peer_running{false};
  std::function<Bytes(const Bytes&)> peer_answer;
  std::mutex frames_mutex;
  std::vector<Bytes> frames;
  Background sim;
};

// A case against the simulated target: skipped when there is none to run.
class SimE2eTest : public E2eTest {
 protected:
  void SetUp() override;
};

// The configured command of the simulator; empty in a build without it unless XARVELD_E2E_SIM
// names one.
std::string sim_path();
// The command the variable names (e.g. "wine /path/xarveld-read.exe"), else the built program,
// split at spaces.
std::vector<std::string> configured_command(const char* variable, const std::string& built);
// The configured command of the tool (XARVELD_E2E_TOOL).
std::vector<std::string> tool_command();
// True when the programs under test are the native POSIX build (termios read-back and the like):
// neither XARVELD_E2E_TOOL nor XARVELD_E2E_READ names a Windows one.
bool tool_is_native();

}  // namespace xarveld::e2e
