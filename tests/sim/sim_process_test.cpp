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
#include <sstream>

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
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(XARVELD_SIM_PATH));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(XARVELD_SIM_PATH, argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  return {pid, out[0], err[0]};
}

// Reads until `fd` ends or `until` is seen, for at most WAIT_MS.
std::string read_text(int fd, const std::string& until) {
  std::string text;
  std::int64_t deadline = now_ms() + WAIT_MS;
  while (text.find(until) == std::string::npos) {
    std::int64_t left = deadline - now_ms();
    pollfd waiting{fd, POLLIN, 0};
    if (left <= 0 || poll(&waiting, 1, static_cast<int>(left)) <= 0) break;
    char buffer[256];
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

// Waits for the child to end; returns its exit status, or -1 (after killing it) if it does not.
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
  if (fd < 0) return -1;
  termios settings{};
  settings.c_cflag = CS8 | CLOCAL | CREAD;
  tcsetattr(fd, TCSANOW, &settings);
  return fd;
}

void send(int fd, const Bytes& bytes) {
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// Reads `count` bytes within WAIT_MS; fewer if the line ends or stays silent.
Bytes receive(int fd, std::size_t count) {
  Bytes bytes;
  std::int64_t deadline = now_ms() + WAIT_MS;
  while (bytes.size() < count) {
    std::int64_t left = deadline - now_ms();
    pollfd waiting{fd, POLLIN, 0};
    if (left <= 0 || poll(&waiting, 1, static_cast<int>(left)) <= 0) break;
    if ((waiting.revents & POLLIN) == 0) break;
    std::uint8_t buffer[64];
    ssize_t got = read(fd, buffer, std::min(sizeof buffer, count - bytes.size()));
    if (got <= 0) break;
    bytes.insert(bytes.end(), buffer, buffer + got);
  }
  return bytes;
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
    std::string line = read_text(sim.out_fd, "\n");
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
  std::string slave = start({"--dump", dir + "/dump", "--wire", dir + "/wire.log"});
  ASSERT_FALSE(slave.empty());
  EXPECT_EQ(std::filesystem::read_symlink(port()).string(), slave);
  int fd = open_port(port());
  ASSERT_GE(fd, 0);

  send(fd, raw_frame(build_ping()));
  EXPECT_EQ(receive(fd, 6), PING_ANSWER_BYTES);
  Bytes block = pattern(32, 0x31);
  send(fd, raw_frame(build_begin(OP_LOAD_SRAM, 0, 2048, 32)));
  EXPECT_EQ(receive(fd, 6), (Bytes{0x02, 0x05, 0x00, 0x00, 0xFE, 0xFA}));
  send(fd, raw_frame(data_packet(block)));
  EXPECT_EQ(receive(fd, 6), (Bytes{0x01, 0x05, 0x00, 0x00, 0xFF, 0xFA}));
  send(fd, raw_frame(build_disconnect()));
  EXPECT_EQ(receive(fd, 6), (Bytes{0x03, 0x05, 0x00, 0x00, 0xFD, 0xFA}));
  close(fd);

  EXPECT_EQ(wait_exit(sim), 0);
  EXPECT_FALSE(exists(port()));
  Bytes sram(2048, 0x00);
  sram.insert(sram.end(), block.begin(), block.end());
  EXPECT_EQ(file_bytes(dir + "/dump/sram.bin"), sram);
  EXPECT_FALSE(exists(dir + "/dump/device1.bin"));

  std::ifstream wire(dir + "/wire.log");
  std::regex format(R"(^(\d+\.\d{3}) (rx|tx) (raw|yenc) ([0-9a-f]{4}(?: [0-9a-f]{4})*)$)");
  std::vector<std::string> frames;
  double last_ms = 0;
  for (std::string line; std::getline(wire, line);) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, format)) << line;
    EXPECT_GE(std::stod(match[1]), last_ms);
    last_ms = std::stod(match[1]);
    frames.push_back(match[2].str() + " " + match[3].str() + " " + match[4].str());
  }
  std::vector<std::string> expected;
  for (const Packet& command : {build_ping(), build_begin(OP_LOAD_SRAM, 0, 2048, 32),
                                data_packet(block), build_disconnect()}) {
    expected.push_back("rx raw " + hex_words(sealed(command)));
  }
  expected.insert(expected.begin() + 1, "tx raw 050e 050e f5e4");
  expected.insert(expected.begin() + 3, "tx raw 0502 0000 fafe");
  expected.insert(expected.begin() + 5, "tx raw 0501 0000 faff");
  expected.push_back("tx raw 0503 0000 fafd");
  EXPECT_EQ(frames, expected);
}

TEST_F(SimProcessTest, ServesSessionAfterSessionAndStopsOnSigterm) {
  std::string slave = start({"--serve-forever", "--dump", dir + "/dump"});
  ASSERT_FALSE(slave.empty());
  for (int run = 1; run <= 2; ++run) {
    SCOPED_TRACE(run);
    int fd = open_port(port());
    ASSERT_GE(fd, 0);
    send(fd, raw_frame(build_ping()));
    EXPECT_EQ(receive(fd, 6), PING_ANSWER_BYTES);
    send(fd, raw_frame(build_enter_yenc()));
    EXPECT_EQ(receive(fd, 6), (Bytes{0x04, 0x05, 0x00, 0x00, 0xFC, 0xFA}));
    send(fd, yenc_frame(build_begin(OP_PROGRAM_FLASH, 2, 32 * (run - 1), 64)));
    Bytes ack = yenc_frame(Packet{0x0502, 0x0000});
    EXPECT_EQ(receive(fd, ack.size()), ack);
    send(fd, yenc_frame(data_packet(pattern(32, static_cast<std::uint8_t>(run)))));
    EXPECT_EQ(receive(fd, 1), Bytes{'='});
    EXPECT_EQ(receive(fd, ack.size() - 1).back(), '\r');
    send(fd, yenc_frame(build_disconnect()));
    Bytes bye = yenc_frame(Packet{0x0503, 0x0000});
    EXPECT_EQ(receive(fd, bye.size()), bye);
    close(fd);
  }
  ASSERT_EQ(kill(sim.pid, SIGTERM), 0);
  EXPECT_EQ(wait_exit(sim), 0);
  EXPECT_FALSE(exists(port()));
  Bytes device = pattern(32, 1);
  Bytes second = pattern(32, 2);
  device.insert(device.end(), second.begin(), second.end());
  EXPECT_EQ(file_bytes(dir + "/dump/device2.bin"), device);
}

TEST_F(SimProcessTest, HangupCutsTheLineUnderTheTool) {
  ASSERT_FALSE(start({"--hangup-after", "50e:2"}).empty());
  int fd = open_port(port());
  ASSERT_GE(fd, 0);
  send(fd, raw_frame(build_ping()));
  EXPECT_EQ(receive(fd, 6), PING_ANSWER_BYTES);
  send(fd, raw_frame(build_ping()));
  pollfd waiting{fd, POLLIN, 0};
  ASSERT_EQ(poll(&waiting, 1, WAIT_MS), 1);
  EXPECT_NE(waiting.revents & (POLLHUP | POLLERR), 0);
  std::uint8_t byte = 0;
  EXPECT_LE(read(fd, &byte, 1), 0);
  close(fd);
  EXPECT_EQ(wait_exit(sim), 0);
  EXPECT_FALSE(exists(port()));
}

TEST_F(SimProcessTest, BadOptionExitsTwoWithAMessageOnStderr) {
  sim = start_sim({"--port", "0"});
  std::string errors = read_text(sim.err_fd, "\n");
  EXPECT_NE(errors.find("--port"), std::string::npos) << errors;
  EXPECT_EQ(read_text(sim.out_fd, "\n"), "");
  EXPECT_EQ(wait_exit(sim), 2);
}

}  // namespace
}  // namespace xarveld::sim
