#include "link/line_settings_posix.hpp"

namespace xarveld {

namespace {
speed_t baud_constant(std::uint32_t baud_rate) {
  switch (baud_rate) {
    case 19200: return B19200;
    case 57600: return B57600;
    default: return B115200;
  }
}

#ifdef CRTSCTS
constexpr tcflag_t HARDWARE_FLOW = CRTSCTS;
#else
constexpr tcflag_t HARDWARE_FLOW = 0;
#endif
}  // namespace

termios line_settings_for(std::uint32_t baud_rate) {
  termios settings{};
  settings.c_cflag = CS8 | CLOCAL | CREAD;
  // With VMIN 1 a read of an empty queue on the non-blocking descriptor fails with EAGAIN, and
  // end of file means a line that hung up; with VMIN 0 both would read as 0 bytes.
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  cfsetispeed(&settings, baud_constant(baud_rate));
  cfsetospeed(&settings, baud_constant(baud_rate));
  return settings;
}

bool line_settings_took(const termios& asked, const termios& read_back) {
  constexpr tcflag_t control = CSIZE | PARENB | CSTOPB | HARDWARE_FLOW;
  constexpr tcflag_t input = IXON | IXOFF | IXANY;
  return cfgetispeed(&read_back) == cfgetispeed(&asked) &&
         cfgetospeed(&read_back) == cfgetospeed(&asked) &&
         (read_back.c_cflag & control) == (asked.c_cflag & control) &&
         (read_back.c_iflag & input) == (asked.c_iflag & input);
}

}  // namespace xarveld
