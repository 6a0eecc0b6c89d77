#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "station/os/record_file.hpp"

namespace xarveld::station {

namespace {
int open_retried(const std::string& path, int flags) {
  int fd;
  do {
    fd = open(path.c_str(), flags | O_APPEND | O_CLOEXEC, 0664);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// A missing record is made here, read and write for its owner and group (the line's users
// share it, as they share the ledger), less what the umask takes; never through a symbolic
// link, which could make it anywhere. A record that is there is kept as it is, a link to it
// included.
int open_for_append(const std::string& path, std::string& error) {
  // Again when the record that was there is gone a moment later (moved aside to start afresh).
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = open_retried(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW);
    if (fd >= 0) return fd;
    if (errno != EEXIST) {
      // The create's own reason: a directory that may not be written is no missing file.
      error = std::strerror(errno);
      return fd;
    }
    fd = open_retried(path, O_RDWR);
    // Reading serves only to see whether the last line is whole: a file that may be written
    // and not read is still written.
    if (fd < 0 && errno == EACCES) fd = open_retried(path, O_WRONLY);
    if (fd >= 0) return fd;
    int opened = errno;
    struct stat named {};
    if (opened == ENOENT && lstat(path.c_str(), &named) == 0 && S_ISLNK(named.st_mode)) {
      error = "a symbolic link to no file, which the station does not create";
      return fd;
    }
    error = std::strerror(opened);
    if (opened != ENOENT) return fd;
  }
  return -1;
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
