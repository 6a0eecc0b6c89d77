// A run that ends cleanly on every path that is not the happy one: interrupted, unplugged, stuck,
// crowded by a second run, its output closed under it. Whatever the ending, what the run wrote is
// kept, the port is let go of, and the user learns of the failure at once.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "tests/e2e/support/e2e_fixture.hpp"

namespace xarveld::e2e {
namespace {

class Endings : public SimE2eTest {
 protected:
  std::size_t log_size() {
    std::error_code error;
    std::uintmax_t size = std::filesystem::file_size(path("log.txt"), error);
    return error ? 0 : static_cast<std::size_t>(size);
  }
};

TEST_F(Endings, AnInterruptedRunKeepsWhatItWroteAndLetsGoOfThePort) {
  if (!tool_is_native()) GTEST_SKIP() << "POSIX signals; Wine cannot deliver a console Ctrl-C";
  start_sim({"--silent", "--serve-forever"});
  write_file(path("dev.bin"), std::string(64, 'd'));
  std::vector<std::string> argv = tool_command();
  argv.insert(argv.end(), {"-p", "dev.bin"});
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    std::filesystem::remove(path("log.txt"));
    std::size_t begins = received(0x502).size();
    Background tool = start_background(argv, dir);
    // The tool is in its 20-s wait for an answer to CMD_BEGIN.
    ASSERT_TRUE(wait_until([&] { return received(0x502).size() > begins; }, 10));
    auto signalled = std::chrono::steady_clock::now();
    kill(tool.pid, signal_number);
    std::string out = read_rest(tool, 10);
    int ended_by = 0;
    int status = finish(tool, 10, &ended_by);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count();
    EXPECT_EQ(ended_by, signal_number) << "ended as the signal ends a program, status " << status;
    EXPECT_LT(seconds, 5) << "the wait goes on after the signal";
    EXPECT_EQ(out,
              "Serial port opened...\r\n\r\nLoaded Bin file: dev.bin\r\nSize = 0x00000040 Bytes\r\n"
              "\r\nBurning flash.");
    EXPECT_EQ(read_file(path("log.txt")), "\r\nCommand: 5502 0100 0005 0000 0000 0040 0000 a9b9 ");
    // The next run can take the port.
    Finished next = run_tool({"-x"});
    EXPECT_EQ(next.out, "Serial port opened...\r\nConnection closed.\r\n") << signal_number;
  }
}

// nohup, or a background job of a script: the signals the run was started without are not its
// own to act on, and it burns the device to the end.
TEST_F(Endings, SignalsIgnoredAtTheStartStayIgnored) {
  if (!tool_is_native()) GTEST_SKIP() << "POSIX signals";
  start_sim({"--pace", "115200"});
  std::string image = random_bytes(16384, 35);
  write_file(path("dev.bin"), image);
  std::vector<std::string> argv = {"sh", "-c", "trap '' HUP INT; exec \"$@\"", "sh"};
  for (const std::string& word : tool_command()) argv.push_back(word);
  argv.insert(argv.end(), {"-p", "dev.bin"});
  Background tool = start_background(argv, dir);
  ASSERT_TRUE(wait_until([&] { return received(0x501).size() >= 32; }, 10));
  kill(tool.pid, SIGHUP);
  kill(tool.pid, SIGINT);
  std::string out = read_rest(tool, 30);
  int ended_by = 0;
  EXPECT_EQ(finish(tool, 10, &ended_by), 0) << "ended by signal " << ended_by;
  EXPECT_TRUE(out.ends_with("Done!\r\nConnection closed.\r\n")) << out;
  EXPECT_EQ(finish_sim(), 0);
  EXPECT_EQ(dump("device5.bin"), image);
}

// Ctrl-C with the output piped into a pager nobody scrolls. An interrupt cuts a blocked write to
// stdout short and the run ends; when writing out the rest of stdout blocks again at the end, a
// second interrupt ends the tool at once, with log.txt written out and the port released before.
TEST_F(Endings, InterruptsEndARunWhoseOutputNobodyReads) {
  if (!tool_is_native()) GTEST_SKIP() << "POSIX signals";
  write_file(path("blank.bin"), std::string(2 << 20, '\xFF'));
  struct Case {
    const char* drop;    // the READ_NEXT the simulator leaves unanswered, or none
    bool pipe_prefilled;  // the pipe is full before the tool writes anything
    int interrupts;
  };
  // Blocked in the middle of the run: 8 KiB of progress go into a pipe of 4 KiB. Blocked at the
  // end: the tool waits for an answer with less than its buffer's worth, and the pipe is full.
  for (Case c : {Case{nullptr, false, 1}, Case{"639:100", true, 2}}) {
    start_sim(c.drop != nullptr ? std::vector<std::string>{"--drop", c.drop}
                                : std::vector<std::string>{});
    int out_pipe[2];
    ASSERT_EQ(pipe2(out_pipe, O_CLOEXEC), 0);
    fcntl(out_pipe[1], F_SETPIPE_SZ, 4096);
    if (c.pipe_prefilled) {
      ASSERT_EQ(write(out_pipe[1], std::string(4096, '.').data(), 4096), 4096);
    }
    std::vector<std::string> argv = tool_command();
    argv.insert(argv.end(), {"-x", "blank.bin"});
    Background tool = start_background(argv, dir, out_pipe[1]);
    close(out_pipe[1]);
    auto blocked_on_output = [&] {
      // pipe_write, or anon_pipe_write on newer kernels.
      return read_file("/proc/" + std::to_string(tool.pid) + "/wchan").ends_with("pipe_write");
    };
    if (c.drop != nullptr) {
      ASSERT_TRUE(wait_until([&] { return received(0x639).size() >= 100; }, 20));
    } else {
      ASSERT_TRUE(wait_until(blocked_on_output, 20));
    }
    for (int n = 1; n <= c.interrupts; ++n) {
      if (n > 1) {
        ASSERT_TRUE(wait_until(blocked_on_output, 10)) << "writing out stdout blocks";
        std::string log = read_file(path("log.txt"));
        EXPECT_TRUE(log.ends_with("Command: 0639 0000 f9c7 ")) << "log.txt is written out first";
      }
      kill(tool.pid, SIGINT);
    }
    int ended_by = 0;
    finish(tool, 10, &ended_by);
    close(out_pipe[0]);
    EXPECT_EQ(ended_by, SIGINT) << c.interrupts;
    EXPECT_TRUE(read_file(path("log.txt"))
                    .starts_with("\r\nVerifying data\r\n\r\nCommand: 5502 0300 0005 "));
    Finished next = run_tool({"-x"});
    EXPECT_EQ(next.out, "Serial port opened...\r\nConnection closed.\r\n") << c.interrupts;
  }
}

TEST_F(Endings, AClosedOutputPipeNeverCutsTheOperationShort) {
  if (!tool_is_native()) GTEST_SKIP() << "SIGPIPE is a POSIX matter";
  start_sim();
  // 2 MiB of erased flash verified by block sums: more progress than a stdout buffer holds, so
  // the tool writes into the closed pipe long before the verification ends.
  write_file(path("blank.bin"), std::string(2 << 20, '\xFF'));
  int out_pipe[2];
  ASSERT_EQ(pipe2(out_pipe, O_CLOEXEC), 0);
  close(out_pipe[0]);
  std::vector<std::string> argv = tool_command();
  argv.insert(argv.end(), {"-x", "blank.bin"});
  Background tool = start_background(argv, dir, out_pipe[1]);
  close(out_pipe[1]);
  EXPECT_EQ(finish(tool, 60), 0);
  EXPECT_EQ(finish_sim(), 0);
  EXPECT_EQ(received(0x639).size(), 2048u);
  EXPECT_EQ(received(0x503).size(), 1u) << "the run did not reach its disconnect";
  EXPECT_TRUE(read_file(path("log.txt"))
                  .ends_with("\r\nVerification complete\r\n\r\nCommand: 0503 0000 fafd "));
}

// The cable is pulled: the run fails with its usual message within moments, with one read error
// at most, and sends nothing more.
TEST_F(Endings, APortThatVanishesEndsTheRunAtOnce) {
  struct Case {
    const char* hangup_after;
    std::vector<std::string> arguments;
    const char* last_message;
    const char* last_command;  // in log.txt: the one the line was cut on
  };
  const Case cases[] = {
      {"50e:1", {"-l", "drv.bin", "-p", "-v", "dev.bin"}, "\r\nConnection timed out!\r\n",
       "050e"},
      {"501:40", {"-p", "-v", "dev.bin"}, "\r\nUnable to program dev.bin.\r\n", "f501"},
  };
  write_file(path("drv.bin"), random_bytes(4096, 31));
  write_file(path("dev.bin"), random_bytes(65536, 32));
  for (const Case& c : cases) {
    std::filesystem::remove(path("wire.txt"));
    start_sim({"--hangup-after", c.hangup_after});
    Finished run = run_tool(c.arguments, 30);
    EXPECT_EQ(run.status, 1) << c.hangup_after;
    EXPECT_LT(run.seconds, 2) << c.hangup_after;
    EXPECT_TRUE(run.out.ends_with(c.last_message)) << run.out.substr(0, 300);
    EXPECT_LE(count_of(run.out, "Serial Read Error = 0\r\n"), 1u) << c.hangup_after;
    EXPECT_EQ(run.out.find("Verifying"), std::string::npos) << c.hangup_after;
    finish_sim();
    // Nothing was sent, or recorded as sent, after the command the line was cut on.
    std::string log = read_file(path("log.txt"));
    std::size_t last = log.rfind("\r\nCommand: ");
    ASSERT_NE(last, std::string::npos);
    EXPECT_EQ(log.substr(last + 11, 4), c.last_command) << c.hangup_after;
  }
}

TEST_F(Endings, ATargetThatStopsReadingEndsTheRun) {
  std::string image = random_bytes(4096, 33);
  write_file(path("dev.bin"), image);
  // It takes the fifth block, then nothing more: the sixth cannot be written.
  start_sim({"--stop-reading-after", "501:5"});
  Finished run = run_tool({"-p", "-v", "dev.bin"}, 60);
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.out.ends_with("\r\nBurning flash..\r\nUnable to program dev.bin.\r\n"))
      << run.out;
  EXPECT_LT(run.seconds, 10) << "a blocked write must not hold the run";
  std::string log = read_file(path("log.txt"));
  EXPECT_EQ(count_of(log, "Command: f501"), 6u);
  EXPECT_EQ(count_of(log, "Response: 0501"), 5u);

  // A line full for a moment is not one that stopped: one that takes nothing for a second and
  // then drains is waited for.
  start_sim({"--stall-after", "501:5:1000"});
  Finished stalled = run_tool({"-p", "-v", "dev.bin"}, 60);
  EXPECT_EQ(stalled.status, 0) << stalled.out;
  EXPECT_GE(stalled.seconds, 1.0) << "the run did not wait out the stall";
  EXPECT_EQ(finish_sim(), 0);
  EXPECT_TRUE(dump("device5.bin") == image);
}

// A virus scanner or an editor holds log.txt for a moment, without letting others write it: the
// run waits for it, up to a second, rather than taking it for another run's and keeping no trace.
TEST_F(Endings, ALogHeldForAMomentIsWaitedFor) {
  const char* holder_command = std::getenv("XARVELD_E2E_HOLD_FILE");
  if (tool_is_native() || holder_command == nullptr) {
    GTEST_SKIP() << "Windows sharing modes; scripts/wine-e2e names the holder";
  }
  start_sim();
  std::vector<std::string> argv;
  std::istringstream words(holder_command);
  for (std::string word; words >> word;) argv.push_back(word);
  argv.insert(argv.end(), {"log.txt", "400"});
  Background holder = start_background(argv, dir);
  ASSERT_EQ(read_line(holder, 30), "held\r");  // a Windows text stream
  Finished run = run_tool({"-x"});
  EXPECT_EQ(finish(holder, 10), 0);
  EXPECT_EQ(run.out, "Serial port opened...\r\nConnection closed.\r\n");
  EXPECT_EQ(read_file(path("log.txt")), "\r\nCommand: 0503 0000 fafd ");
}

// A second run started in the same directory while the first is busy neither empties nor
// overwrites the first run's log.txt, and is refused the port as before.
TEST_F(Endings, ASecondRunLeavesTheFirstRunsLogAlone) {
  // Paced, so that the first run is still busy once its log has gone past one 64-KiB buffer.
  start_sim({"--pace", "115200"});
  std::string image = random_bytes(32768, 34);
  write_file(path("dev.bin"), image);
  std::vector<std::string> argv = tool_command();
  argv.insert(argv.end(), {"-p", "dev.bin"});
  Background first = start_background(argv, dir);
  ASSERT_TRUE(wait_until([&] { return log_size() >= 65536; }, 30));
  Finished second = run_tool({"-v", "dev.bin"});
  EXPECT_EQ(second.out, "Could not open serial port!\r\n");
  EXPECT_EQ(second.status, 1);
  std::string first_out = read_rest(first, 60);
  EXPECT_EQ(finish(first, 10), 0) << first_out;
  EXPECT_EQ(finish_sim(), 0);
  std::string log = read_file(path("log.txt"));
  EXPECT_TRUE(log.starts_with("\r\nCommand: 5502 0100 0005 0000 0000 8000 0000 "))
      << log.substr(0, 80);
  EXPECT_EQ(log.find('\0'), std::string::npos);
  EXPECT_EQ(count_of(log, "Command: f501"), image.size() / 32);
  EXPECT_EQ(count_of(log, "Response: 0501 0000 faff \r\n\r\n"), image.size() / 32);
  EXPECT_TRUE(log.ends_with("\r\nCommand: 0503 0000 fafd "));
}

}  // namespace
}  // namespace xarveld::e2e
