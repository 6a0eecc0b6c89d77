#include "sim/pty_line.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

namespace xarveld::sim {

namespace {
constexpr suseconds_t FILL_SETTLE_US = 100000;
constexpr int FILL_ROUNDS = 16;

// What cfmakeraw does, spelt out since it is not POSIX: no echo (or our own answers would come
// back to us), no line editing, no signals, no CR/LF translation, 8 data bits.
void make_raw(int fd) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) return;
  settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                             ICRNL | IXON | IXOFF);
  settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
  settings.c_cflag |= CS8 | CREAD | CLOCAL;
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &settings);
}

std::string read_link(const std::string& path) {
  std::vector<char> target(4096);
  ssize_t length = readlink(path.c_str(), target.data(), target.size() - 1);
  if (length < 0) return std::string();
  return std::string(target.data(), static_cast<std::size_t>(length));
}

int fail(std::string& error, const std::string& what) {
  error = what + ": " + std::strerror(errno);
  return 0;
}

// A new symlink under a temporary name renamed over the old one: the name never disappears.
int publish(PtyLine& line, const std::string& directory, int port, std::string& error) {
  std::string link_path = directory + "/COM" + std::to_string(port);
  struct stat entry{};
  if (lstat(link_path.c_str(), &entry) == 0 && !S_ISLNK(entry.st_mode)) {
    error = link_path + " exists and is not a symlink";
    return 0;
  }
  std::string temporary = link_path + ".new." + std::to_string(getpid());
  unlink(temporary.c_str());
  if (symlink(line.slave_path.c_str(), temporary.c_str()) != 0) {
    return fail(error, "cannot create " + temporary);
  }
  if (rename(temporary.c_str(), link_path.c_str()) != 0) {
    int saved = errno;
    unlink(temporary.c_str());
    errno = saved;
    return fail(error, "cannot create " + link_path);
  }
  line.link_path = link_path;
  return 1;
}
}  // namespace

int pty_line_open(PtyLine& line, const std::string& directory, int port, std::string& error) {
  line.master_fd = posix_openpt(O_RDWR | O_NOCTTY);
  if (line.master_fd < 0) return fail(error, "cannot open a pseudo-terminal");
  fcntl(line.master_fd, F_SETFD, FD_CLOEXEC);
  if (grantpt(line.master_fd) != 0 || unlockpt(line.master_fd) != 0) {
    return fail(error, "cannot unlock the pseudo-terminal");
  }
  const char* name = ptsname(line.master_fd);
  if (name == nullptr) return fail(error, "cannot name the pseudo-terminal");
  line.slave_path = name;
  line.slave_fd = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (line.slave_fd < 0) return fail(error, "cannot open " + line.slave_path);
  make_raw(line.slave_fd);
  // The loop waits in pselect; reads and writes must never block it.
  int flags = fcntl(line.master_fd, F_GETFL);
  if (flags < 0 || fcntl(line.master_fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    return fail(error, "cannot configure the pseudo-terminal");
  }
  return publish(line, directory, port, error);
}

void pty_line_discard_unread(PtyLine& line) {
  if (line.slave_fd >= 0) tcflush(line.slave_fd, TCIFLUSH);
}

int pty_line_unread(const PtyLine& line) {
  int count = 0;
  if (line.slave_fd < 0 || ioctl(line.slave_fd, FIONREAD, &count) != 0) return 0;
  return count;
}

void pty_line_allow_reopen(PtyLine& line) {
#ifdef TIOCNXCL
  if (line.slave_fd >= 0) ioctl(line.slave_fd, TIOCNXCL);
#else
  (void)line;
#endif
}

bool pty_line_put(PtyLine& line, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t wrote = write(line.master_fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

bool pty_line_fill_toward_target(PtyLine& line, std::size_t& filled) {
  // What is written into the slave travels the same way as the tool's writes, into the queue the
  // master reads from. The kernel moves part of that queue on into the master's input buffer a
  // moment after a write, which makes room again (seen 20 ms after the queue first filled): the
  // line is full once no room has come back for FILL_SETTLE_US. A queue too full for a large
  // write may still take small ones (Linux keeps small buffers aside), as the tool's frames are:
  // each round fills with ever smaller writes, down to single bytes.
  int flags = fcntl(line.slave_fd, F_GETFL);
  if (flags < 0 || fcntl(line.slave_fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
  const std::vector<std::uint8_t> filler(4096, 0);
  filled = 0;
  for (int round = 0; round < FILL_ROUNDS; ++round) {
    for (std::size_t size : {std::size_t{4096}, std::size_t{256}, std::size_t{16}, std::size_t{1}}) {
      ssize_t wrote = 0;
      while ((wrote = write(line.slave_fd, filler.data(), size)) > 0 ||
             (wrote < 0 && errno == EINTR)) {
        if (wrote > 0) filled += static_cast<std::size_t>(wrote);
      }
      if (wrote == 0 || errno != EAGAIN) return false;
    }
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(line.slave_fd, &writable);
    timeval settle{0, FILL_SETTLE_US};
    int ready = select(line.slave_fd + 1, nullptr, &writable, nullptr, &settle);
    if (ready == 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
  return true;
}

void pty_line_cut(PtyLine& line) {
  if (line.master_fd >= 0) close(line.master_fd);
  if (line.slave_fd >= 0) close(line.slave_fd);
  line.master_fd = -1;
  line.slave_fd = -1;
}

void pty_line_unpublish(PtyLine& line) {
  if (line.link_path.empty()) return;
  if (read_link(line.link_path) == line.slave_path) unlink(line.link_path.c_str());
  line.link_path.clear();
}

}  // namespace xarveld::sim
