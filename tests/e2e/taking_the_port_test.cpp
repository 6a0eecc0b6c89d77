// Taking the port as real users meet it: a lock file another program left, bytes of an earlier
// run still arriving, a parent that left a thousand descriptors open.
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <thread>

#include "link/packet.hpp"
#include "tests/e2e/support/e2e_fixture.hpp"
#include "tests/support/frames.hpp"

namespace xarveld::e2e {
namespace {

class TakingThePort : public E2eTest {};

// /run/lock/LCK..pts_3 for /dev/pts/3.
std::string lock_file_of(std::string device) {
  device = device.substr(std::string("/dev/").size());
  for (char& c : device) {
    if (c == '/') c = '_';
  }
  return "/run/lock/LCK.." + device;
}

void write_lock(const std::string& lock, pid_t holder) {
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(holder));
  write_file(lock, text);
}

TEST_F(TakingThePort, ALockFileKeepsTheRunOffThePortUntilItsHolderIsGone) {
  if (!tool_is_native()) GTEST_SKIP() << "lock files are the POSIX build's";
  if (!std::filesystem::is_directory("/run/lock")) GTEST_SKIP() << "no /run/lock here";
  open_own_line();
  std::string lock = lock_file_of(slave_path);
  termios before{};
  ASSERT_EQ(tcgetattr(slave_fd, &before), 0);

  // Held by a live process (this one): refused before the device is even opened.
  write_lock(lock, getpid());
  Finished refused = run_tool({"-x"});
  termios after{};
  ASSERT_EQ(tcgetattr(slave_fd, &after), 0);
  std::filesystem::remove(lock);
  EXPECT_EQ(refused.out, "Could not open serial port!\r\n");
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(after.c_cflag, before.c_cflag) << "the device was opened and configured";
  EXPECT_EQ(after.c_lflag, before.c_lflag) << "the device was opened and configured";

  // Left by a process that is gone: taken over, and removed when the run ends.
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  write_lock(lock, gone);
  serve_own_line([](const Bytes&) { return Bytes{}; });
  Finished run = run_tool({"-x"});
  EXPECT_EQ(run.out, "Serial port opened...\r\nConnection closed.\r\n");
  EXPECT_FALSE(std::filesystem::exists(lock)) << "the run left its lock file behind";
}

// An answer meant for an interrupted run reaches the port 20 ms after the next run opened it, just
// as the loader's first answer is on its way: in raw framing one stray byte would misalign every
// answer after it.
TEST_F(TakingThePort, BytesArrivingJustAfterTheOpenAreNoAnswer) {
  open_own_line();
  write_file(path("dev.bin"), std::string(64, 'd'));
  // Packet mode tells this side when the tool flushes its input, the last step of its open.
  int on = 1;
  ASSERT_EQ(ioctl(master_fd, TIOCPKT, &on), 0);
  std::thread stray([this] {
    std::uint8_t packet[64];
    pollfd ready{master_fd, POLLIN, 0};
    while (poll(&ready, 1, 10000) > 0) {
      ssize_t got = read(master_fd, packet, sizeof packet);
      if (got <= 0 || (packet[0] & TIOCPKT_FLUSHREAD) != 0) break;
    }
    usleep(20000);
    const std::uint8_t stale = 0xFA;  // the last byte of an acknowledgement
    if (write(master_fd, &stale, 1) != 1) return;
    int off = 0;
    ioctl(master_fd, TIOCPKT, &off);
    serve_own_line([](const Bytes& frame) {
      Packet command = test::command_in_frame(frame);
      std::uint16_t code = packet_command_code(command[0]);
      // The first answer takes a while, so that the stray byte is there before it.
      if (code == CMD_BEGIN) usleep(30000);
      if (code == CMD_BEGIN || code == CMD_DATA) {
        return test::raw_frame(test::with_checksum(build_acknowledgement(code)));
      }
      return Bytes{};
    });
  });
  Finished run = run_tool({"-p", "dev.bin"});
  stray.join();
  EXPECT_EQ(run.out,
            "Serial port opened...\r\n\r\nLoaded Bin file: dev.bin\r\nSize = 0x00000040 Bytes\r\n"
            "\r\nBurning flash..Done!\r\nConnection closed.\r\n");
  EXPECT_EQ(run.status, 0);
  // Taken with the answer, the stray byte would have cost an invalid answer and a second send.
  EXPECT_EQ(count_of(read_file(path("log.txt")), "Command: 5502"), 1u);
}

TEST_F(TakingThePort, APortNumberedPastTheSelectLimitIsServed) {
  if (!tool_is_native()) GTEST_SKIP() << "POSIX descriptors";
  if (sim_path().empty()) GTEST_SKIP() << "built without the simulated target";
  start_sim();
  std::string image = random_bytes(4096, 36);
  write_file(path("dev.bin"), image);
  // The parent leaves descriptors 3 to 1099 open: log.txt, the image and the port come after.
  std::vector<std::string> argv = {
      "bash", "-c",
      "ulimit -n 4096 && for ((fd = 3; fd < 1100; ++fd)); do eval \"exec $fd</dev/null\"; done && "
      "exec \"$@\"",
      "bash"};
  for (const std::string& word : tool_command()) argv.push_back(word);
  argv.insert(argv.end(), {"-p", "-v", "dev.bin"});
  Finished run = run_to_end(argv, dir, 60);
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(run.out.ends_with("\rVerification Successful\r\nConnection closed.\r\n")) << run.out;
  EXPECT_EQ(finish_sim(), 0);
  EXPECT_TRUE(dump("device5.bin") == image) << "the device does not hold the image";
}

}  // namespace
}  // namespace xarveld::e2e
