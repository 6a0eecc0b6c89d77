#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/port_lock.hpp"

namespace xarveld {

namespace {
#ifdef __linux__
const char* const LOCK_DIRECTORY = "/run/lock";
#else
const char* const LOCK_DIRECTORY = "/var/lock";
#endif

std::string held_lock;  // the lock file this process took

// ttyUSB0 for /dev/ttyUSB0; pts_3 for /dev/pts/3; the base name for a device elsewhere.
std::string lock_name(const std::string& device) {
  const std::string dev = "/dev/";
  std::string name = device.rfind(dev, 0) == 0 ? device.substr(dev.size())
                                                : device.substr(device.rfind('/') + 1);
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return name;
}

// The holder's process number: ten characters of ASCII and a line feed, or, in the oldest
// programs, a binary int. 0 when the file says nothing usable.
long lock_holder(const std::string& lock) {
  char text[32] = {};
  int fd = open(lock.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  if (got == static_cast<ssize_t>(sizeof(int))) {
    int binary = 0;
    std::memcpy(&binary, text, sizeof binary);
    if (binary > 0) return binary;
  }
  if (got <= 0) return 0;
  char* end = nullptr;
  long pid = std::strtol(text, &end, 10);
  return end != text && pid > 0 ? pid : 0;
}

// A lock naming this very process was left by an earlier one that had the same number.
bool process_lives(long pid) {
  if (pid == static_cast<long>(getpid())) return false;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// Written whole under another name first and then linked into place, so that nobody ever reads
// a lock file without its process number and takes it for stale.
int link_lock(const std::string& lock) {
  std::string draft = std::string(LOCK_DIRECTORY) + "/LTMP." + std::to_string(getpid());
  int fd = open(draft.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  char text[16];
  int length = std::snprintf(text, sizeof text, "%10ld\n", static_cast<long>(getpid()));
  bool written = write(fd, text, static_cast<std::size_t>(length)) == length;
  int error = written ? 0 : errno;
  close(fd);
  if (written && link(draft.c_str(), lock.c_str()) != 0) error = errno;
  unlink(draft.c_str());
  return error;
}
}  // namespace

PortLock port_lock_take(const std::string& path) {
  PortLock result;
  char device[PATH_MAX];
  if (realpath(path.c_str(), device) == nullptr) {
    result.outcome = PortLockOutcome::Taken;  // nothing there to protect: the open will say so
    return result;
  }
  std::string lock = std::string(LOCK_DIRECTORY) + "/LCK.." + lock_name(device);
  // Twice at most: once more after removing a stale lock.
  for (int attempt = 0; attempt < 2; ++attempt) {
    int error = link_lock(lock);
    if (error == 0) {
      held_lock = lock;
      result.outcome = PortLockOutcome::Taken;
      return result;
    }
    if (error != EEXIST) {
      result.reason = std::string(LOCK_DIRECTORY) + ": " + std::strerror(error);
      return result;
    }
    long holder = lock_holder(lock);
    if (holder > 0 && process_lives(holder)) {
      result.outcome = PortLockOutcome::Held;
      result.reason = "in use by process " + std::to_string(holder) + " (" + lock + ")";
      return result;
    }
    // A stale lock this user may not remove (another user's, in the sticky lock directory)
    // protects nothing: the run goes on as it would without a lock directory.
    if (unlink(lock.c_str()) != 0 && errno != ENOENT) {
      result.reason = "stale " + lock + " cannot be removed: " + std::strerror(errno);
      return result;
    }
  }
  result.outcome = PortLockOutcome::Held;
  result.reason = "in use by another program (" + lock + ")";
  return result;
}

void port_lock_release() {
  if (held_lock.empty()) return;
  unlink(held_lock.c_str());
  held_lock.clear();
}

}  // namespace xarveld
