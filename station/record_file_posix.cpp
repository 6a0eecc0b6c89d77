#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "station/record_file.hpp"

namespace xarveld::station {

int record_append(const std::string& path, const std::string& line, std::string& error) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = std::strerror(errno);
    return 0;
  }
  int ok = 0;
  while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
  }
  ssize_t written;
  do {
    written = write(fd, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  if (written != static_cast<ssize_t>(line.size())) {
    error = written < 0 ? std::strerror(errno) : "the line was written only in part";
  } else if (fsync(fd) != 0) {
    error = std::strerror(errno);
  } else {
    ok = 1;
  }
  flock(fd, LOCK_UN);
  close(fd);
  return ok;
}

std::string host_name() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

}  // namespace xarveld::station
