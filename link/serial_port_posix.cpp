#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

#include <cerrno>
#include <string>

#include "common/console.hpp"
#include "common/process_exit.hpp"
#include "link/serial_port.hpp"

namespace xarveld {

namespace {
int port_fd = -1;

// "COMn" is the entry of that name in the working directory when there is one (normally a
// symlink such as COM3 -> /dev/ttyUSB0; a dangling one fails rather than falling through),
// otherwise /dev/ttyS(n-1).
std::string device_path(const std::string& port_name) {
  struct stat entry{};
  if (lstat(port_name.c_str(), &entry) == 0) return port_name;
  int number = port_name.back() - '0';
  return "/dev/ttyS" + std::to_string(number - 1);
}

speed_t baud_constant(std::uint32_t baud_rate) {
  switch (baud_rate) {
    case 19200: return B19200;
    case 57600: return B57600;
    default: return B115200;
  }
}

// Settings built from nothing, as the loader expects: raw 8N1, no flow control, no modem-line
// hang-up on close, reads that never block on their own (poll does the waiting).
bool apply_line_settings(int fd, std::uint32_t baud_rate) {
  termios settings{};
  settings.c_cflag = CS8 | CLOCAL | CREAD;
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  cfsetispeed(&settings, baud_constant(baud_rate));
  cfsetospeed(&settings, baud_constant(baud_rate));
  if (tcsetattr(fd, TCSANOW, &settings) != 0) return false;

  // DTR and RTS held inactive; a pseudo-terminal has no such lines, so failure is harmless.
  int lines = TIOCM_DTR | TIOCM_RTS;
  ioctl(fd, TIOCMBIC, &lines);
#ifdef __linux__
  // USB adapters otherwise hold each answer back up to 16 ms, longer than a whole block takes.
  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
    serial.flags |= ASYNC_LOW_LATENCY;
    ioctl(fd, TIOCSSERIAL, &serial);
  }
#endif
  return true;
}

int open_port(const std::string& port_name, std::uint32_t baud_rate) {
  // O_NONBLOCK so that the open itself never waits for a carrier.
  int fd = open(device_path(port_name).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  bool usable = isatty(fd) == 1 && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                ioctl(fd, TIOCEXCL) == 0 && apply_line_settings(fd, baud_rate);
  // Blocking writes: a frame is written whole. Reads never block (VMIN = VTIME = 0).
  if (usable) {
    int flags = fcntl(fd, F_GETFL);
    usable = flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
  }
  if (!usable) {
    close(fd);
    return -1;
  }
  return fd;
}
}  // namespace

void serial_open(const std::string& port_name, std::uint32_t baud_rate) {
  port_fd = open_port(port_name, baud_rate);
  if (port_fd < 0) {
    console_printf("Could not open serial port!\n");
    end_process(1);
  }
  console_printf("Serial port opened...\n");
}

int serial_read(std::uint8_t* buffer, std::size_t capacity, std::size_t* count) {
  *count = 0;
  if (port_fd < 0) return 0;
  pollfd waiting{port_fd, POLLIN, 0};
  int ready = poll(&waiting, 1, static_cast<int>(SERIAL_READ_INTERVAL_MS));
  if (ready == 0) return 1;
  if (ready < 0) return errno == EINTR ? 1 : 0;
  if ((waiting.revents & POLLIN) == 0) return 0;  // POLLHUP, POLLERR, POLLNVAL: the line is gone
  ssize_t got = read(port_fd, buffer, capacity);
  if (got > 0) {
    *count = static_cast<std::size_t>(got);
    return 1;
  }
  // Ready but nothing to read is end of file or an error such as EIO: a pulled adapter.
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return 1;
  return 0;
}

void serial_write(const std::uint8_t* bytes, std::size_t length) {
  std::size_t done = 0;
  while (done < length && port_fd >= 0) {
    ssize_t wrote = write(port_fd, bytes + done, length - done);
    if (wrote > 0) {
      done += static_cast<std::size_t>(wrote);
    } else if (wrote < 0 && errno != EINTR) {
      return;
    }
  }
}

void serial_close() {
  if (port_fd < 0) return;
  // A real port drops exclusive mode at its last close; a pseudo-terminal whose other side keeps
  // the slave open would not, and would refuse the next run of an ordinary user.
  ioctl(port_fd, TIOCNXCL);
  close(port_fd);
  port_fd = -1;
}

bool serial_is_open() { return port_fd >= 0; }

}  // namespace xarveld
