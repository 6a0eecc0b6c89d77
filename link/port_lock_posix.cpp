#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "link/port_lock.hpp"

namespace xarveld {

void (*port_lock_stale_hook)(const std::string& lock) = nullptr;
std::time_t (*port_lock_clock)() = nullptr;

namespace {
#ifdef __linux__
const char* const LOCK_DIRECTORY = "/run/lock";
#else
const char* const LOCK_DIRECTORY = "/var/lock";
#endif

// Process numbers stay below this where the system does not say (Linux's highest pid_max).
const long PID_LIMIT = 4194304;
// Another program's lock made a moment ago may not hold its process number yet.
const long EMPTY_LOCK_GRACE_SECONDS = 5;
// A draft lives for microseconds in a run that goes on; one this old was left by a run that was
// killed (SIGKILL, a power cut) between making it and removing it.
const long LEFTOVER_DRAFT_SECONDS = 60;

enum { LOCK_GONE, LOCK_HELD, LOCK_STALE };

// One lock file: its name, and the file itself, which another can replace under that name.
struct LockFile {
  std::string name;
  dev_t device = 0;
  ino_t inode = 0;
};

LockFile held_lock;  // the lock file this process took; no name when none

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

long pid_limit() {
  long limit = PID_LIMIT;
  std::FILE* file = std::fopen("/proc/sys/kernel/pid_max", "re");
  if (file == nullptr) return limit;
  long told = 0;
  if (std::fscanf(file, "%ld", &told) == 1 && told > 1 && told <= PID_LIMIT) limit = told;
  std::fclose(file);
  return limit;
}

// The holder's process number: ASCII digits, padded with spaces and ended by a line feed, of
// whatever length; or, from the oldest programs, a binary int, in a file of 4 bytes that is not
// such text. 0 when the file names no process there can be.
long lock_holder(const char* text, std::size_t length) {
  const long limit = pid_limit();
  long number = 0;
  std::size_t at = 0;
  while (at < length && text[at] == ' ') ++at;
  std::size_t first_digit = at;
  while (at < length && text[at] >= '0' && text[at] <= '9') {
    if (number < limit) number = number * 10 + (text[at] - '0');  // past the limit, unwrapped
    ++at;
  }
  bool ascii = at > first_digit;
  while (at < length && (text[at] == ' ' || text[at] == '\n')) ++at;
  ascii = ascii && at == length;
  if (!ascii && length == sizeof(int)) {
    int binary = 0;
    std::memcpy(&binary, text, sizeof binary);
    number = binary;
  } else if (!ascii) {
    return 0;
  }
  return number >= 1 && number < limit ? number : 0;
}

// A lock naming this very process was left by an earlier one that had the same number.
bool process_lives(long pid) {
  if (pid == static_cast<long>(getpid())) return false;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

struct Judgement {
  int verdict = LOCK_GONE;
  LockFile file;       // the file that was judged
  std::string reason;  // why it is held
};

// Looks at the lock file in place. Only a regular file is ever opened: a symlink, a FIFO or a
// device under a lock's name could lead to another file, block the open or raise a line, and it
// is not removed either: whoever put it there holds the port.
Judgement judge_lock(const std::string& lock) {
  Judgement judged;
  judged.verdict = LOCK_HELD;
  struct stat named {};
  if (lstat(lock.c_str(), &named) != 0) {
    int error = errno;
    if (error == ENOENT) judged.verdict = LOCK_GONE;
    judged.reason = lock + " cannot be examined: " + std::strerror(error);
    return judged;
  }
  const std::string not_regular = "in use: " + lock + " is not a regular file";
  if (!S_ISREG(named.st_mode)) {
    judged.reason = not_regular;
    return judged;
  }
  int fd = open(lock.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    int error = errno;
    if (error == ENOENT) judged.verdict = LOCK_GONE;
    // ELOOP: a symlink has taken its place since.
    judged.reason =
        error == ELOOP ? not_regular : lock + " cannot be read: " + std::strerror(error);
    return judged;
  }
  struct stat opened {};
  char text[64];
  ssize_t got = -1;
  if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
    judged.reason = not_regular;
  } else if ((got = read(fd, text, sizeof text)) < 0) {
    int error = errno;
    judged.reason = lock + " cannot be read: " + std::strerror(error);
  }
  close(fd);
  if (got < 0) return judged;
  judged.file = {lock, opened.st_dev, opened.st_ino};
  if (got == 0 && std::time(nullptr) - opened.st_mtime < EMPTY_LOCK_GRACE_SECONDS) {
    judged.reason = "in use: " + lock + " is still being written";
    return judged;
  }
  long holder = got < static_cast<ssize_t>(sizeof text)
                    ? lock_holder(text, static_cast<std::size_t>(got))
                    : 0;
  if (holder > 0 && process_lives(holder)) {
    judged.reason = "in use by process " + std::to_string(holder) + " (" + lock + ")";
    return judged;
  }
  judged.verdict = LOCK_STALE;
  return judged;
}

// Removes the lock file if its name still holds that very file. Removing by name would remove a
// lock another run linked there a moment ago, so the name is first renamed aside, in one step,
// and what was moved is checked. 0 once removed; ENOENT when the name was gone; EAGAIN when it
// held another file, which is put back; else why it could not be moved.
//
// A race remains, which link and rename cannot close: while the file is aside, the lock's name
// is free. Should the file moved prove to be a live lock (a second run removed the stale one and
// took the port between this run's judging and its rename), and a third run link its own lock in
// that moment, the second's cannot be put back: the second and the third then both hold the
// port. It takes three runs on one port within microseconds, one of them finding a stale lock.
int take_out(const std::string& directory, const LockFile& file) {
  std::string aside = directory + "/LTMP.XXXXXX";
  int fd = mkostemp(aside.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  close(fd);
  if (rename(file.name.c_str(), aside.c_str()) != 0) {
    int error = errno;
    unlink(aside.c_str());
    return error;
  }
  struct stat moved {};
  if (lstat(aside.c_str(), &moved) == 0 && moved.st_dev == file.device &&
      moved.st_ino == file.inode) {
    unlink(aside.c_str());
    return 0;
  }
  // Put back as a link, which never replaces a lock made since; where the system refuses a
  // link to another user's file, by renaming.
  if (linkat(AT_FDCWD, aside.c_str(), AT_FDCWD, file.name.c_str(), 0) == 0 || errno == EEXIST) {
    unlink(aside.c_str());
  } else {
    rename(aside.c_str(), file.name.c_str());
  }
  return EAGAIN;
}

// Written whole under another name first and then linked into place, so that nobody ever reads
// a lock file without its process number and takes it for stale. The draft's name is made new
// by mkstemp: a name others could guess may already be their symlink to a file of root's.
int link_lock(const std::string& directory, const std::string& lock, LockFile& made) {
  std::string draft = directory + "/LTMP.XXXXXX";
  int fd = mkostemp(draft.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  char text[16];
  int length = std::snprintf(text, sizeof text, "%10ld\n", static_cast<long>(getpid()));
  struct stat created {};
  errno = 0;
  // Every program that honours the lock reads it; mkstemp makes it its owner's alone.
  bool written = fchmod(fd, 0644) == 0 &&
                 write(fd, text, static_cast<std::size_t>(length)) == length &&
                 fstat(fd, &created) == 0;
  int error = written ? 0 : errno != 0 ? errno : ENOSPC;
  close(fd);
  if (written && link(draft.c_str(), lock.c_str()) != 0) error = errno;
  unlink(draft.c_str());
  if (error == 0) made = {lock, created.st_dev, created.st_ino};
  return error;
}

// Removes the drafts and the locks moved aside (LTMP.*) that killed runs left in the lock
// directory, once they are LEFTOVER_DRAFT_SECONDS old: only this user's regular files, looked at
// without following a link, so that nothing another user planted there leads elsewhere. Judged
// by their change time, which a rename sets too: a lock another run has just moved aside to
// judge it is young, however old the lock.
void remove_leftover_drafts(const std::string& directory) {
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) return;
  std::time_t now = port_lock_clock != nullptr ? port_lock_clock() : std::time(nullptr);
  while (dirent* entry = readdir(listing)) {
    if (std::strncmp(entry->d_name, "LTMP.", 5) != 0) continue;
    struct stat found {};
    if (fstatat(dirfd(listing), entry->d_name, &found, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISREG(found.st_mode) && found.st_uid == geteuid() &&
        now - found.st_ctime >= LEFTOVER_DRAFT_SECONDS) {
      unlinkat(dirfd(listing), entry->d_name, 0);
    }
  }
  closedir(listing);
}
}  // namespace

PortLock port_lock_take(const std::string& path) { return port_lock_take_in(LOCK_DIRECTORY, path); }

PortLock port_lock_take_in(const std::string& directory, const std::string& path) {
  PortLock result;
  char device[PATH_MAX];
  if (realpath(path.c_str(), device) == nullptr) {
    result.outcome = PortLockOutcome::Taken;  // nothing there to protect: the open will say so
    return result;
  }
  std::string lock = directory + "/LCK.." + lock_name(device);
  // Again after removing a stale lock, or after one that vanished while it was looked at.
  for (int attempt = 0; attempt < 3; ++attempt) {
    LockFile made;
    int error = link_lock(directory, lock, made);
    if (error == 0) {
      held_lock = made;
      result.outcome = PortLockOutcome::Taken;
      remove_leftover_drafts(directory);
      return result;
    }
    if (error != EEXIST) {
      result.reason = directory + ": " + std::strerror(error);
      return result;
    }
    Judgement judged = judge_lock(lock);
    if (judged.verdict == LOCK_HELD) {
      result.outcome = PortLockOutcome::Held;
      result.reason = judged.reason;
      return result;
    }
    if (judged.verdict == LOCK_GONE) continue;
    if (port_lock_stale_hook != nullptr) port_lock_stale_hook(lock);
    error = take_out(directory, judged.file);
    if (error == EAGAIN) break;  // another run took the port in the meantime
    // A stale lock this user may not remove (another user's, in the sticky lock directory)
    // protects nothing: the run goes on as it would without a lock directory.
    if (error != 0 && error != ENOENT) {
      result.reason = "stale " + lock + " cannot be removed: " + std::strerror(error);
      return result;
    }
  }
  result.outcome = PortLockOutcome::Held;
  result.reason = "in use by another program (" + lock + ")";
  return result;
}

void port_lock_release() {
  if (held_lock.name.empty()) return;
  take_out(held_lock.name.substr(0, held_lock.name.rfind('/')), held_lock);
  held_lock = {};
}

}  // namespace xarveld
