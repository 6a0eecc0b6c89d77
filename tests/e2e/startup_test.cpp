// The tool's start-up over a real pseudo-terminal: command line, log.txt, opening the port.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "link/packet.hpp"
#include "tests/e2e/support/e2e_fixture.hpp"
#include "tests/support/frames.hpp"

namespace xarveld::e2e {
namespace {

using test::raw_frame;
using test::response;
using test::yenc_frame;

class Startup : public E2eTest {};

TEST_F(Startup, UsageAndArgumentErrorsLeaveAnExistingLogUntouched) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
    int status;
  };
  const std::vector<Case> cases = {
      {{}, USAGE_TEXT, 255},
      {{"-?"}, USAGE_TEXT, 255},
      {{"-c", "10", "dev.bin"}, "COM port number must be between 1 and 9.\r\n", 1},
      {{"-d", "8", "dev.bin"}, "Device number must be between 1 and 7.\r\n", 1},
      {{"-l", "-p", "dev.bin"}, "Filename expected after -l\r\n", 1},
      {{"-b", "9600", "dev.bin"}, "Incorrect baud rate. Must be 19200, 57600 or 115200.", 1},
      {{"-q", "dev.bin"}, "Incorrect usage\r\n", 1},
      {{"-p", "-z", "dev.bin"}, "Incorrect usage\r\n", 1},
      {{"-v", "-p"}, "Flash file name must be specified.\r\n", 1},
  };
  write_file(path("log.txt"), "an earlier run");
  for (const Case& c : cases) {
    Finished run = run_tool(c.args);
    EXPECT_EQ(run.out, c.out) << ::testing::PrintToString(c.args);
    EXPECT_EQ(run.status, c.status) << ::testing::PrintToString(c.args);
  }
  EXPECT_EQ(read_file(path("log.txt")), "an earlier run");
}

TEST_F(Startup, APortThatCannotBeOpenedLeavesAnEmptyLog) {
  write_file(path("log.txt"), "an earlier run");
  write_file(path("plain-file"), "not a terminal");
  // Under Wine both open, and it is the line settings that cannot be applied to them.
  for (const char* target : {"nowhere", "plain-file"}) {
    publish_com1(path(target));
    Finished run = run_tool({"-p", "dev.bin"});
    EXPECT_EQ(run.out, "Could not open serial port!\r\n") << target;
    EXPECT_EQ(run.status, 1) << target;
    ASSERT_TRUE(std::filesystem::exists(path("log.txt")));
    EXPECT_EQ(read_file(path("log.txt")), "") << target;
  }
}

// Runs the tool with its standard error on a terminal; returns what the terminal showed.
std::string run_with_terminal_stderr(const std::vector<std::string>& arguments,
                                     const std::string& cwd, std::string& out) {
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return "no pseudo-terminal";
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
  std::vector<std::string> argv = tool_command();
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  Background tool = start_background(argv, cwd, -1, slave);
  close(slave);
  out = read_rest(tool, 60);
  finish(tool, 10);
  std::string shown;
  char chunk[1024];
  pollfd fd{master, POLLIN, 0};
  ssize_t got;
  while (poll(&fd, 1, 1000) > 0 && (got = read(master, chunk, sizeof chunk)) > 0) {
    shown.append(chunk, static_cast<std::size_t>(got));
  }
  close(master);
  return shown;
}

// Every place that explains a failure: opening the port, the files, log.txt, and, with the
// simulated target misbehaving, each kind of failed operation, a silent loader, a port that
// vanishes while the tool waits or while it writes, a line that stops taking data. Each says its
// own line on a terminal; with standard error redirected it says nothing, and stdout is the same.
TEST_F(Startup, AFailureSaysWhyOnlyOnAStandardErrorThatIsATerminal) {
  if (!tool_is_native()) {
    GTEST_SKIP() << "the reasons here are the POSIX build's words; Wine draws its console on the "
                    "terminal with escape sequences, and its reasons are Win32's";
  }
  if (sim_path().empty()) GTEST_SKIP() << "built without the simulated target";
  enum class Log { Earlier, Held, Directory };  // log.txt: an earlier run's, held, not a file
  struct Case {
    std::string com1;              // empty: the simulated target
    std::vector<std::string> sim;  // its faults, for a fresh simulator on every run
    std::vector<std::string> arguments;
    // PORT stands for "COM1 (./COM1 -> the simulator's line)", N for a number of seconds.
    std::string says;
    Log log = Log::Earlier;
    bool vanish_while_stuck = false;  // the line is cut while the tool waits to write a frame
  };
  write_file(path("plain-file"), "not a terminal");
  write_file(path("over.bin"), std::string(0x800001, 'o'));
  write_file(path("drv.bin"), random_bytes(4096, 41));
  write_file(path("dev.bin"), random_bytes(4096, 42));
  const std::vector<std::string> every_ping = {"--corrupt", "50e:1,2,3,4,5,6,7,8,9,10,11,12"};
  const Case cases[] = {
      {path("nowhere"), {}, {"-p", "dev.bin"},
       "xarveld: COM1 (./COM1 -> " + path("nowhere") +
           "): No such file or directory; is the adapter plugged in? see ls /dev/serial/by-id"},
      {path("plain-file"), {}, {"-p", "dev.bin"},
       "xarveld: COM1 (./COM1 -> " + path("plain-file") + "): not a serial device"},
      {"", {}, {"-p", "missing.bin"}, "xarveld: missing.bin: No such file or directory"},
      {"", {}, {"-x", "over.bin"},
       "xarveld: over.bin: 8388609 bytes, more than the 8 MiB (8388608 bytes) an image may hold"},
      {"", {}, {"-x"},
       "xarveld: log.txt is held by another run in this directory; this run keeps no trace",
       Log::Held},
      {"", {}, {"-x"}, "xarveld: log.txt: Is a directory; this run keeps no trace", Log::Directory},
      {"", every_ping, {"-l", "drv.bin", "dev.bin"},
       "xarveld: no answer from the loader on PORT: pinged it for N s in raw and yEnc framing; "
       "check that the board is powered and its loader running, that the cable is on this port, "
       "and that -b gives the loader's baud rate"},
      {"", {"--corrupt", "502:1,2,3"}, {"-l", "drv.bin", "dev.bin"},
       "xarveld: the loader did not answer the announcement of the driver load"},
      {"", {"--corrupt", "502:1,2,3"}, {"-d", "3", "-p", "dev.bin"},
       "xarveld: the loader did not answer the announcement of device 3"},
      {"", {"--refuse-flash"}, {"-p", "dev.bin"}, "xarveld: the loader refused to program device 5"},
      {"", {"--corrupt", "501:3,4,5"}, {"-p", "dev.bin"},
       "xarveld: the loader did not take the block at offset 0x000040"},
      {"", {}, {"-d", "6", "-p", "dev.bin"},
       "xarveld: device 6 is not a flash device: use 1 to 5 or 7"},
      {"", {}, {"-d", "6", "-x", "dev.bin"},
       "xarveld: device 6 is not a flash device: use 1 to 5 or 7"},
      {"", {"--corrupt", "502:1,2,3"}, {"-v", "dev.bin"},
       "xarveld: the loader did not answer the announcement of the verification of device 5"},
      {"", {"--corrupt", "639:1,2,3"}, {"-x", "dev.bin"},
       "xarveld: the loader did not answer the read of device 5 at offset 0x000000"},
      {"", {"--flip", "5:0x410"}, {"-p", "-x", "dev.bin"},
       "xarveld: device 5 does not hold dev.bin: the block at 0x00400 differed on 3 reads"},
      {"", {"--hangup-after", "501:5"}, {"-p", "dev.bin"},
       "xarveld: PORT vanished: the adapter was unplugged or the line hung up"},
      {"", {"--stop-reading-after", "501:5"}, {"-p", "dev.bin"},
       "xarveld: PORT stopped taking data: a frame could not be written within 2 s"},
      {"", {"--stop-reading-after", "501:5"}, {"-p", "dev.bin"},
       "xarveld: PORT vanished: the adapter was unplugged or the line hung up", Log::Earlier,
       true},
  };
  for (const Case& c : cases) {
    std::string out[2];  // stderr redirected, stderr a terminal
    std::string shown;
    for (int on_terminal = 0; on_terminal < 2; ++on_terminal) {
      if (c.com1.empty()) {
        start_sim(c.sim);
      } else {
        publish_com1(c.com1);
      }
      std::filesystem::remove_all(path("log.txt"));
      if (c.log == Log::Directory) {
        std::filesystem::create_directory(path("log.txt"));
      } else {
        write_file(path("log.txt"), "another run's log");
      }
      int holder = open(path("log.txt").c_str(), O_RDONLY | O_CLOEXEC);
      if (c.log == Log::Held) flock(holder, LOCK_EX);
      // Cut the line once the tool waits to write the frame the target no longer takes.
      std::thread cutter;
      if (c.vanish_while_stuck) {
        cutter = std::thread([this] {
          if (wait_until([this] { return received(CMD_DATA).size() == 5; }, 10)) {
            usleep(300000);
            finish_sim(0);
          }
        });
      }
      if (on_terminal) {
        shown = run_with_terminal_stderr(c.arguments, dir, out[1]);
      } else {
        // Redirected, standard error stays empty (run_tool checks it).
        out[0] = run_tool(c.arguments).out;
      }
      if (cutter.joinable()) cutter.join();
      close(holder);
      if (c.log != Log::Directory) {
        EXPECT_EQ(read_file(path("log.txt")) == "another run's log", c.log == Log::Held) << c.says;
      }
    }
    std::string says = c.says;
    if (std::size_t port = says.find("PORT"); port != std::string::npos) {
      says.replace(port, 4, "COM1 (./COM1 -> " + slave_path + ")");
    }
    if (std::size_t seconds = says.find("for N s"); seconds != std::string::npos) {
      std::size_t digits = shown.find_first_not_of("0123456789", seconds + 4);
      if (shown.size() > seconds + 4 && digits != std::string::npos) {
        says.replace(seconds + 4, 1, shown.substr(seconds + 4, digits - seconds - 4));
      }
    }
    EXPECT_EQ(out[1], out[0]) << c.says;
    EXPECT_EQ(shown, says + "\r\n");
  }
}

TEST_F(Startup, LineSettingsReadBackFromThePort) {
  if (!tool_is_native()) GTEST_SKIP() << "termios read-back needs the POSIX build";
  open_own_line();
  serve_own_line([](const Bytes&) { return Bytes{}; });
  // A lone "-x" is the device file, not an option: the run only opens the port and disconnects.
  Finished run = run_tool({"-b", "57600", "-x"});
  EXPECT_EQ(run.out, "Serial port opened...\r\nConnection closed.\r\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(read_file(path("log.txt")), "\r\nCommand: 0503 0000 fafd ");
  ASSERT_EQ(frames_received(), (std::vector<Bytes>{{0x03, 0x05, 0x00, 0x00, 0xFD, 0xFA}}));

  termios settings{};
  ASSERT_EQ(tcgetattr(slave_fd, &settings), 0);
  EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B57600));
  EXPECT_EQ(cfgetispeed(&settings), static_cast<speed_t>(B57600));
  EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(settings.c_cflag & (PARENB | CSTOPB | CRTSCTS | HUPCL), 0u);
  EXPECT_EQ(settings.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | ISTRIP | INPCK), 0u);
  EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(settings.c_oflag & OPOST, 0u);
}

TEST_F(Startup, ASecondToolOnAPortInUseIsRefused) {
  open_own_line();
  write_file(path("dev.bin"), std::string(64, 'd'));
  Finished second;
  serve_own_line([&](const Bytes& frame) {
    if (test::command_in_frame(frame)[0] != (0x5000 | CMD_BEGIN)) return Bytes{};
    // The first tool is waiting for this answer and holds the port.
    std::vector<std::string> argv = tool_command();
    argv.insert(argv.end(), {"-v", "dev.bin"});
    second = run_to_end(argv, dir, 60);
    return raw_frame(test::with_checksum(build_refusal(CMD_BEGIN)));
  });
  Finished first = run_tool({"-p", "dev.bin"});
  // The peer may still be running the second tool after the first gave up; it writes second.
  stop_serving();
  EXPECT_EQ(second.out, "Could not open serial port!\r\n");
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(first.out,
            "Serial port opened...\r\n\r\nLoaded Bin file: dev.bin\r\nSize = 0x00000040 Bytes\r\n"
            "\r\nBurning flash.\r\nUnable to program dev.bin.\r\n");
  EXPECT_EQ(first.status, 1);
}

TEST_F(Startup, ScriptedLoaderAnswersPingInRawFraming) {
  open_own_line();
  write_file(path("drv.bin"), std::string(2048, 'r'));
  serve_own_line([](const Bytes& frame) {
    Packet command = test::command_in_frame(frame);
    bool yenc = frame[0] == '=';
    if (command[0] == CMD_PING && !yenc) return raw_frame(response(0x050E, {0x050E}));
    if (command[0] == (0x5000 | CMD_BEGIN) && yenc) return yenc_frame(response(0x0502));
    return Bytes{};
  });
  Finished run = run_tool({"-l", "drv.bin", "dev.bin"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "Serial port opened...\r\n\r\nLoaded Bin file: drv.bin\r\nSize = 0x00000800 Bytes\r\n"
            "RAW mode detected.\r\n\r\nLoading driver to SRAM.Done!Connection closed.\r\n");

  Bytes begin = yenc_frame(test::with_checksum(build_begin(OP_LOAD_SRAM, 0, 2048, 0)));
  std::vector<Bytes> expected_frames = {
      {0x0E, 0x05, 0x00, 0x00, 0xF2, 0xFA},  // CMD_PING, raw
      {0x04, 0x05, 0x00, 0x00, 0xFC, 0xFA},  // CMD_ENTER_YENC, still raw
      begin,                                 // a driver of 2048 bytes announces nothing to come
      yenc_frame(test::with_checksum(build_disconnect())),
  };
  EXPECT_EQ(frames_received(), expected_frames);

  Bytes answer = yenc_frame(response(0x0502));
  EXPECT_EQ(read_file(path("log.txt")),
            "\r\nCommand: 050e 0000 faf2 \r\nResponse: 050e 050e f5e4 \r\n\r\n"
            "\r\nCommand: 0504 0000 fafc "
            "\r\nCommand: 5502 0000 0000 0800 0000 0000 0000 a2fe "
            "\r\nMessage: " + std::string(answer.begin(), answer.end()) +
                "\r\nResponse: 0502 0000 fafe \r\n\r\n"
                "\r\nCommand: 0503 0000 fafd ");
}

}  // namespace
}  // namespace xarveld::e2e
