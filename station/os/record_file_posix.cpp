#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "station/os/record_file.hpp"

namespace xarveld::station {

namespace {
int open_for_append(const std::string& path, std::string& error) {
  int fd;
  do {
    fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  // Reading serves only to see whether the last line is whole: a file that may be written and
  // not read is still written.
  if (fd < 0 && errno == EACCES) fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) error = std::strerror(errno);
  return fd;
}

// Writes all of bytes; false with errno set when the system takes no more.
bool write_all(int fd, const char* bytes, std::size_t size) {
  while (size > 0) {
    ssize_t written = write(fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = EIO;
      return false;
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool append_locked(int fd, const std::string& line, std::string& error) {
  struct stat before{};
  if (fstat(fd, &before) != 0) {
    error = std::strerror(errno);
    return false;
  }
  std::string text = line;
  char last = '\n';
  if (before.st_size > 0 && pread(fd, &last, 1, before.st_size - 1) == 1 && last != '\n')
    text.insert(text.begin(), '\n');
  if (write_all(fd, text.data(), text.size()) && fsync(fd) == 0) return true;
  error = std::strerror(errno);
  // What went in before the failure comes out again: a line is in the record whole or not at all.
  int cut;
  do {
    cut = ftruncate(fd, before.st_size);
  } while (cut != 0 && errno == EINTR);
  if (cut != 0) {
    error += std::string("; the part written could not be taken back: ") + std::strerror(errno);
  } else {
    fsync(fd);
  }
  return false;
}
}  // namespace

bool record_open(const std::string& path, std::string& why) {
  int fd = open_for_append(path, why);
  if (fd < 0) return false;
  close(fd);
  return true;
}

bool record_append(const std::string& path, const std::string& line, std::string& why) {
  int fd = open_for_append(path, why);
  if (fd < 0) return false;
  while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
  }
  bool ok = append_locked(fd, line, why);
  flock(fd, LOCK_UN);
  close(fd);
  return ok;
}

}  // namespace xarveld::station
