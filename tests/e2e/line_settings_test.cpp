// The line settings the tool applies, read back from the port after a run that began from settings
// as wrong as a port can have: every build must replace them, none may only inherit them.
#include <termios.h>

#include "tests/e2e/support/e2e_fixture.hpp"

namespace xarveld::e2e {
namespace {

class LineSettings : public E2eTest {};

TEST_F(LineSettings, ReplaceWhateverThePortHad) {
  open_own_line();
  termios wrong{};
  ASSERT_EQ(tcgetattr(slave_fd, &wrong), 0);
  wrong.c_iflag |= IXON | IXOFF | ISTRIP | INPCK | ICRNL | INLCR;
  wrong.c_oflag |= OPOST;
  wrong.c_cflag = (wrong.c_cflag & ~CSIZE) | CS7 | PARENB | PARODD | CSTOPB | CRTSCTS;
  wrong.c_lflag |= ICANON | ECHO | ISIG;
  wrong.c_cc[VSTART] = 0x01;
  wrong.c_cc[VSTOP] = 0x01;
  cfsetispeed(&wrong, B19200);
  cfsetospeed(&wrong, B19200);
  ASSERT_EQ(tcsetattr(slave_fd, TCSANOW, &wrong), 0);

  serve_own_line([](const Bytes&) { return Bytes{}; });
  // A lone "-x" is the device file: the run opens the port, disconnects and ends.
  Finished run = run_tool({"-b", "57600", "-x"});
  EXPECT_EQ(run.out, "Serial port opened...\r\nConnection closed.\r\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(read_file(path("log.txt")), "\r\nCommand: 0503 0000 fafd ");
  stop_serving();
  EXPECT_EQ(frames_received(), (std::vector<Bytes>{{0x03, 0x05, 0x00, 0x00, 0xFD, 0xFA}}));

  termios applied{};
  ASSERT_EQ(tcgetattr(slave_fd, &applied), 0);
  EXPECT_EQ(cfgetospeed(&applied), static_cast<speed_t>(B57600));
  EXPECT_EQ(cfgetispeed(&applied), static_cast<speed_t>(B57600));
  EXPECT_EQ(applied.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(applied.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  // Every byte arrives as it was sent: no flow control, no stripping, no translation.
  EXPECT_EQ(applied.c_iflag & (IXON | IXOFF | ISTRIP | INPCK | ICRNL | INLCR), 0u);
  EXPECT_EQ(applied.c_oflag & OPOST, 0u);
  EXPECT_EQ(applied.c_lflag & (ICANON | ECHO | ISIG), 0u);
  if (!tool_is_native()) {
    // Wine hands the DCB's XonChar and XoffChar to the line. Windows refuses a DCB in which they
    // are equal, as they are in an all-zero one, so the tool must have set them.
    EXPECT_EQ(applied.c_cc[VSTART], 0x11);
    EXPECT_EQ(applied.c_cc[VSTOP], 0x13);
  }
}

}  // namespace
}  // namespace xarveld::e2e
