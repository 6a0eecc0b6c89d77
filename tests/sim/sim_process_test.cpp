// The real xarveld-sim, run as a child process and spoken to through its published COMn as the
// tool would.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <regex>

#include "loader_harness.hpp"

namespace xarveld::sim {
namespace {

using namespace harness;

constexpr int WAIT_MS = 5000;

std::int64_t now_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

struct SimProcess {
  pid_t pid = -1;
  int out_fd = -1;
  int err_fd = -1;
};

SimProcess start_sim(const std::vector<std::string>& arguments) {
  int out[2];
  int err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    std::vector<char*> argv{const_cast<char*>(XARVELD_SIM_PATH)};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(XARVELD_SIM_PATH, argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  return {pid, out[0], err[0]};
}

// Reads up to `count` bytes, or up to and including `stop`, within WAIT_MS; less if the other end
// closes or stays silent.
Bytes read_from(int fd, std::size_t count, int stop = -1) {
  Bytes bytes;
  std::int64_t deadline = now_ms() + WAIT_MS;
  while (bytes.size() < count && (bytes.empty() || bytes.back() != stop)) {
    pollfd waiting{fd, POLLIN, 0};
    std::int64_t left = deadline - now_ms();
    if (left <= 0 || poll(&waiting, 1, static_cast<int>(left)) <= 0) break;
    std::uint8_t byte = 0;
    if ((waiting.revents & POLLIN) == 0 || read(fd, &byte, 1) != 1) break;
    bytes.push_back(byte);
  }
  return bytes;
}

std::string read_line(int fd) {
  Bytes bytes = read_from(fd, 4096, '\n');
  return std::string(bytes.begin(), bytes.end());
}

// The child's exit status, or -1 (after killing it) if it does not end within WAIT_MS.
int wait_exit(SimProcess& sim) {
  std::int64_t deadline = now_ms() + WAIT_MS;
  int status = 0;
  while (waitpid(sim.pid, &status, WNOHANG) == 0) {
    if (now_ms() > deadline) {
      kill(sim.pid, SIGKILL);
      waitpid(sim.pid, &status, 0);
      return -1;
    }
    timespec pause{0, 5000000};
    nanosleep(&pause, nullptr);
  }
  close(sim.out_fd);
  close(sim.err_fd);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Opens the published port as the tool does: raw, no controlling terminal.
int open_port(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios settings{};
  settings.c_cflag = CS8 | CLOCAL | CREAD;
  if (fd >= 0) tcsetattr(fd, TCSANOW, &settings);
  return fd;
}

// Sends one frame and returns the `answer_bytes` bytes that come back.
Bytes ask(int fd, const Bytes& frame, std::size_t answer_bytes) {
  if (write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) return {};
  return read_from(fd, answer_bytes);
}

Bytes file_bytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string hex_words(const Packet& packet) {
  std::string text;
  char word[8];
  for (std::uint16_t value : words_of(packet)) {
    std::snprintf(word, sizeof word, "%s%04x", text.empty() ? "" : " ", value);
    text += word;
  }
  return text;
}

bool exists(const std::string& path) {
  struct stat entry{};
  return lstat(path.c_str(), &entry) == 0;
}

class SimProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/xarveld-sim-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  // Starts the simulator and waits for its ready line; returns the slave path it names.
  std::string start(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"--dir", dir, "--port", "4"});
    sim = start_sim(arguments);
    std::string line = read_line(sim.out_fd);
    std::size_t end = line.find(" ready\n");
    if (end == std::string::npos || end + 7 != line.size()) return "";
    return line.substr(0, end);
  }

  std::string port() const { return dir + "/COM4"; }

  std::string dir;
  SimProcess sim;
};

const Bytes PING_ANSWER_BYTES = {0x0E, 0x05, 0x0E, 0x05, 0xE4, 0xF5};

TEST_F(SimProcessTest, RawSessionEndsAtDisconnectWithDumpAndWireLog) {
  // Through a USB adapter with a 16-ms latency timer: each answer, shorter than its buffer, reaches
  // the port only when the timer runs out.
  std::string slave =
      start({"--dump", dir + "/dump", "--wire", dir + "/wire.log", "--latency", "16"});
  ASSERT_FALSE(slave.empty());
  EXPECT_EQ(std::filesystem::read_symlink(port()).string(), slave);
  int fd = open_port(port());
  ASSERT_GE(fd, 0);
  Bytes block = pattern(32, 0x31);
  const Packet commands[] = {build_ping(), build_begin(OP_LOAD_SRAM, 0, 2048, 32),
                             data_packet(block), build_disconnect()};
  const Bytes answers[] = {PING_ANSWER_BYTES,
                           {0x02, 0x05, 0x00, 0x00, 0xFE, 0xFA},
                           {0x01, 0x05, 0x00, 0x00, 0xFF, 0xFA},
                           {0x03, 0x05, 0x00, 0x00, 0xFD, 0xFA}};
  std::vector<std::string> expected_log;
  for (std::size_t i = 0; i < 4; ++i) {
    std::int64_t asked_ms = now_ms();
    EXPECT_EQ(ask(fd, raw_frame(commands[i]), 6), answers[i]) << i;
    EXPECT_GE(now_ms() - asked_ms, 15) << i;
    Packet answer{};
    words_from_bytes(answers[i].data(), 3, answer.data());
    expected_log.push_back("rx raw " + hex_words(sealed(commands[i])));
    expected_log.push_back("tx raw " + hex_words(answer));
  }
  close(fd);

  EXPECT_EQ(wait_exit(sim), 0);
  EXPECT_FALSE(exists(port()));
  Bytes sram(2048, 0x00);
  sram.insert(sram.end(), block.begin(), block.end());
  EXPECT_EQ(file_bytes(dir + "/dump/sram.bin"), sram);
  EXPECT_FALSE(exists(dir + "/dump/device1.bin"));

  std::ifstream wire(dir + "/wire.log");
  std::regex format(R"(^(\d+\.\d{3}) ((?:rx|tx) (?:raw|yenc) [0-9a-f]{4}(?: [0-9a-f]{4})*)$)");
  std::vector<std::string> logged;
  double last_ms = 0;
  for (std::string line; std::getline(wire, line);) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, format)) << line;
    EXPECT_GE(std::stod(match[1]), last_ms);
    last_ms = std::stod(match[1]);
    logged.push_back(match[2]);
  }
  EXPECT_EQ(logged, expected_log);
}

TEST_F(SimProcessTest, ServesSessionAfterSessionAndStopsOnSigterm) {
  ASSERT_FALSE(start({"--serve-forever", "--dump", dir + "/dump"}).empty());
  Bytes ack = yenc_frame(Packet{0x0502, 0x0000});
  Bytes data_ack = yenc_frame(Packet{0x0501, 0x0000});
  Bytes bye = yenc_frame(Packet{0x0503, 0x0000});
  for (std::uint32_t run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    int fd = open_port(port());
    ASSERT_GE(fd, 0);
    // Each run finds the loader back in raw framing.
    EXPECT_EQ(ask(fd, raw_frame(build_ping()), 6), PING_ANSWER_BYTES);
    EXPECT_EQ(ask(fd, raw_frame(build_enter_yenc()), 6), (Bytes{0x04, 0x05, 0x00, 0x00, 0xFC, 0xFA}));
    EXPECT_EQ(ask(fd, yenc_frame(build_begin(OP_PROGRAM_FLASH, 2, 32 * run, 64)), ack.size()), ack);
    Bytes block = pattern(32, static_cast<std::uint8_t>(run));
    EXPECT_EQ(ask(fd, yenc_frame(data_packet(block)), data_ack.size()), data_ack);
    EXPECT_EQ(ask(fd, yenc_frame(build_disconnect()), bye.size()), bye);
    close(fd);
  }
  ASSERT_EQ(kill(sim.pid, SIGTERM), 0);
  EXPECT_EQ(wait_exit(sim), 0);
  EXPECT_FALSE(exists(port()));
  Bytes device = pattern(32, 0);
  Bytes second = pattern(32, 1);
  device.insert(device.end(), second.begin(), second.end());
  EXPECT_EQ(file_bytes(dir + "/dump/device2.bin"), device);
}

TEST_F(SimProcessTest, HangupCutsTheLineUnderTheTool) {
  ASSERT_FALSE(start({"--hangup-after", "50e:2"}).empty());
  int fd = open_port(port());
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ask(fd, raw_frame(build_ping()), 6), PING_ANSWER_BYTES);
  EXPECT_EQ(ask(fd, raw_frame(build_ping()), 6), Bytes{});
  pollfd waiting{fd, POLLIN, 0};
  EXPECT_EQ(poll(&waiting, 1, 0), 1);
  EXPECT_NE(waiting.revents & (POLLHUP | POLLERR), 0);
  close(fd);
  EXPECT_EQ(wait_exit(sim), 0);
  EXPECT_FALSE(exists(port()));
}

TEST_F(SimProcessTest, BadOptionExitsTwoWithAMessageOnStderr) {
  sim = start_sim({"--port", "0"});
  EXPECT_NE(read_line(sim.err_fd).find("--port"), std::string::npos);
  EXPECT_EQ(read_line(sim.out_fd), "");
  EXPECT_EQ(wait_exit(sim), 2);
}

}  // namespace
}  // namespace xarveld::sim
