#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/diagnostic.hpp"
#include "common/interrupt.hpp"
#include "common/process_exit.hpp"
#include "link/clock.hpp"
#include "link/line_settings_posix.hpp"
#include "link/port_lock.hpp"
#include "link/port_wait.hpp"
#include "link/serial_port.hpp"
#include "link/serial_port_platform.hpp"

namespace xarveld {

namespace {
int port_fd = -1;
std::string port_description;

// "COMn" is the entry of that name in the working directory when there is one (normally a
// symlink such as COM3 -> /dev/ttyUSB0; a dangling one fails rather than falling through),
// otherwise /dev/ttyS(n-1). The description says which, for the help on a terminal.
std::string device_path(const std::string& port_name, std::string& description) {
  struct stat entry{};
  if (lstat(port_name.c_str(), &entry) == 0) {
    description = port_name + " (./" + port_name;
    if (S_ISLNK(entry.st_mode)) {
      std::vector<char> target(4096);
      ssize_t length = readlink(port_name.c_str(), target.data(), target.size() - 1);
      if (length > 0) description += " -> " + std::string(target.data(), length);
    }
    description += ")";
    return port_name;
  }
  std::string path = "/dev/ttyS" + std::to_string(port_name.back() - '0' - 1);
  description = port_name + " (" + path + ")";
  return path;
}

// Linux raises DTR and RTS when a port is opened; a board whose reset or boot pins hang on them
// must not see them up any longer than it takes to drop them. A pseudo-terminal has no such
// lines, so failure is harmless.
void drop_modem_lines(int fd) {
  int lines = TIOCM_DTR | TIOCM_RTS;
  ioctl(fd, TIOCMBIC, &lines);
}

// What the system said when opening failed, with a hint where one helps.
std::string open_failure(int error) {
  std::string reason = std::strerror(error);
  if (error == EACCES || error == EPERM) return reason + "; add yourself to the dialout group";
  if (error == ENOENT || error == ENODEV || error == ENXIO) {
    return reason + "; is the adapter plugged in? see ls /dev/serial/by-id";
  }
  if (error == EBUSY) return "in use by another program";
  return reason;
}

bool apply_line_settings(int fd, std::uint32_t baud_rate) {
  termios asked = line_settings_for(baud_rate);
  if (tcsetattr(fd, TCSANOW, &asked) != 0) return false;
  termios read_back{};
  if (tcgetattr(fd, &read_back) != 0 || !line_settings_took(asked, read_back)) return false;
  drop_modem_lines(fd);
#ifdef __linux__
  // USB adapters otherwise hold each answer back up to 16 ms, longer than a whole block takes.
  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
    serial.flags |= ASYNC_LOW_LATENCY;
    ioctl(fd, TIOCSSERIAL, &serial);
  }
#endif
  // A boot banner, noise at another speed, an answer meant for an earlier run: none of it is an
  // answer to this run's first command.
  tcflush(fd, TCIFLUSH);
  return true;
}

// Returns the open descriptor, or -1 with the reason in failure. The descriptor stays
// non-blocking: reads wait in port_wait, and writes wait for room with a time limit.
int open_port(const std::string& path, std::uint32_t baud_rate, std::string& failure) {
  PortLock lock = port_lock_take(path);
  if (lock.outcome == PortLockOutcome::Held) {
    failure = lock.reason;
    return -1;
  }
  if (lock.outcome == PortLockOutcome::Unavailable) {
    diagnose("%s; going on without a lock file", lock.reason.c_str());
  }
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    failure = open_failure(errno);
    port_lock_release();
    return -1;
  }
  drop_modem_lines(fd);
  bool exclusive = false;
  if (isatty(fd) != 1) {
    failure = "not a serial device";
  } else if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
    failure = "in use by another program";
  } else {
    exclusive = true;
    if (apply_line_settings(fd, baud_rate)) return fd;
    failure = "the line settings could not be applied";
  }
  // A pseudo-terminal whose other side stays open would otherwise stay exclusive.
  if (exclusive) ioctl(fd, TIOCNXCL);
  close(fd);
  port_lock_release();
  return -1;
}

// Gives the frames already written (the disconnect command) a bounded time to leave, then
// discards what is left, so that close() never waits the driver's closing wait (30 s on many)
// for output that cannot go. An interrupted run waits for nothing.
void finish_output(int fd) {
  std::uint64_t deadline = clock_ticks() + SERIAL_DRAIN_LIMIT_MS * TICKS_PER_MILLISECOND;
  int queued = 0;
  while (!interrupt_requested() && ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0 &&
         clock_ticks() < deadline) {
    usleep(SERIAL_DRAIN_POLL_MS * 1000);
  }
  tcflush(fd, TCOFLUSH);
}
}  // namespace

bool serial_open_device(const std::string& port_name, std::uint32_t baud_rate,
                        std::string& failure) {
  std::string path = device_path(port_name, port_description);
  port_fd = open_port(path, baud_rate, failure);
  return port_fd >= 0;
}

int serial_read_within(std::uint8_t* buffer, std::size_t capacity, std::size_t* count,
                       std::uint32_t wait_ms) {
  *count = 0;
  if (port_fd < 0) return 0;
  int waited = port_wait(port_fd, false, wait_ms);
  if (waited != PORT_READY) return waited == PORT_QUIET ? 1 : 0;
  ssize_t got = read(port_fd, buffer, capacity);
  if (got > 0) {
    *count = static_cast<std::size_t>(got);
    return 1;
  }
  // With VMIN 1 an empty queue reads as EAGAIN, so end of file is a line that really hung up (a
  // USB adapter pulled); EIO, ENXIO or ENODEV a device that has gone. A signal between readiness
  // and the read is an empty read.
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 1;
  return 0;
}

int serial_read(std::uint8_t* buffer, std::size_t capacity, std::size_t* count) {
  return serial_read_within(buffer, capacity, count, SERIAL_READ_INTERVAL_MS);
}

int serial_write(const std::uint8_t* bytes, std::size_t length) {
  // Set when the line first has no room: a frame that goes out at once never reads the clock.
  std::uint64_t deadline = 0;
  std::size_t done = 0;
  while (done < length) {
    if (port_fd < 0) return SERIAL_WRITE_GONE;
    ssize_t wrote = write(port_fd, bytes + done, length - done);
    if (wrote > 0) {
      done += static_cast<std::size_t>(wrote);
      continue;
    }
    // EIO, ENXIO, ENODEV: the adapter was pulled while the frame was on its way.
    if (wrote < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      return SERIAL_WRITE_GONE;
    }
    end_process_if_interrupted();
    std::uint64_t now = clock_ticks();
    if (deadline == 0) deadline = now + SERIAL_WRITE_LIMIT_MS * TICKS_PER_MILLISECOND;
    if (now >= deadline) return SERIAL_WRITE_STUCK;
    std::uint64_t left_ms = (deadline - now + TICKS_PER_MILLISECOND - 1) / TICKS_PER_MILLISECOND;
    // Woken at least once per read interval to notice an interrupt.
    std::uint32_t wait_ms = static_cast<std::uint32_t>(
        left_ms < SERIAL_READ_INTERVAL_MS ? left_ms : SERIAL_READ_INTERVAL_MS);
    if (port_wait(port_fd, true, wait_ms) == PORT_WAIT_FAILED) return SERIAL_WRITE_GONE;
  }
  return SERIAL_WRITE_DONE;
}

void serial_discard_output() {
  if (port_fd >= 0) tcflush(port_fd, TCOFLUSH);
}

void serial_close() {
  if (port_fd >= 0) {
    finish_output(port_fd);
    // A real port drops exclusive mode at its last close; a pseudo-terminal whose other side
    // keeps the slave open would not, and would refuse the next run of an ordinary user.
    ioctl(port_fd, TIOCNXCL);
    close(port_fd);
    port_fd = -1;
  }
  port_lock_release();
}

bool serial_is_open() { return port_fd >= 0; }

const std::string& serial_port_description() { return port_description; }

}  // namespace xarveld
