#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "trace/log_file.hpp"

namespace xarveld {

namespace {
LogFile failed(int fd) {
  LogFile file;
  file.reason = std::strerror(errno);
  if (fd >= 0) close(fd);
  return file;
}
}  // namespace

LogFile log_file_take(const char* name) {
  // Not O_TRUNC: the file is emptied only once it is ours.
  int fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return failed(fd);
  // Only a lock held elsewhere keeps the log from this run; a file system without locks does not.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    close(fd);
    LogFile held;
    held.outcome = LogFileOutcome::HeldByAnotherRun;
    return held;
  }
  if (ftruncate(fd, 0) != 0) return failed(fd);
  LogFile file;
  file.stream = fdopen(fd, "wb");
  if (file.stream == nullptr) return failed(fd);
  file.outcome = LogFileOutcome::Opened;
  return file;
}

}  // namespace xarveld
