#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/process_exit.hpp"
#include "readback/pending_file.hpp"

namespace xarveld {

namespace {
int fd = -1;
std::string temp_path;
std::string target_path;

std::string directory_of(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool fail(std::string& error, const std::string& what) {
  error = what + ": " + std::strerror(errno);
  return false;
}
}  // namespace

bool path_exists(const std::string& path) {
  struct stat status{};
  return lstat(path.c_str(), &status) == 0;
}

bool pending_create(const std::string& final_path, std::string& error) {
  at_process_end(pending_discard);
  std::string directory = directory_of(final_path);
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp_path = directory + "/.xarveld-read-" + std::to_string(getpid()) + "-" +
                std::to_string(attempt) + ".part";
    fd = open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    temp_path.clear();
    return fail(error, "cannot create a file in " + directory);
  }
  target_path = final_path;
  return true;
}

bool pending_commit(const std::uint8_t* bytes, std::size_t length, bool replace,
                    std::string& error) {
  std::size_t done = 0;
  while (done < length) {
    ssize_t written = write(fd, bytes + done, length - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return fail(error, "cannot write " + temp_path);
    done += static_cast<std::size_t>(written);
  }
  // The permissions a newly created file would have had, now that it is whole.
  mode_t mask = umask(0);
  umask(mask);
  if (fchmod(fd, 0666 & ~mask) != 0) return fail(error, "cannot set the mode of " + temp_path);
  if (fsync(fd) != 0) return fail(error, "cannot flush " + temp_path + " to disk");
  // A link, unlike a rename, never replaces: it fails when the name was taken meanwhile.
  bool moved = replace ? rename(temp_path.c_str(), target_path.c_str()) == 0
                       : link(temp_path.c_str(), target_path.c_str()) == 0;
  if (!moved) return fail(error, "cannot put the file at " + target_path);
  if (!replace) unlink(temp_path.c_str());
  temp_path.clear();
  close(fd);
  fd = -1;
  int directory = open(directory_of(target_path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory >= 0) {
    fsync(directory);
    close(directory);
  }
  return true;
}

void pending_discard() {
  if (fd >= 0) close(fd);
  fd = -1;
  if (!temp_path.empty()) unlink(temp_path.c_str());
  temp_path.clear();
}

}  // namespace xarveld
