#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "station/os/port.hpp"

namespace xarveld::station {

namespace {
constexpr const char* BY_ID_DIRECTORY = "/dev/serial/by-id";

// What the run's COM1 link leads to: the port made absolute, so that the run's directory does
// not change where a relative name goes.
std::string link_target(const std::string& port) {
  std::error_code code;
  std::string target = std::filesystem::absolute(port, code).lexically_normal().string();
  return code ? port : target;
}

std::string resolved(const std::string& path) {
  char buffer[PATH_MAX];
  if (realpath(path.c_str(), buffer) == nullptr) return "";
  return buffer;
}
}  // namespace

bool port_name_acceptable(const std::string& port, std::string& why) {
  if (port.empty()) {
    why = "a port is a device path";
    return false;
  }
  return true;
}

PortIdentity port_identity(const std::string& port) {
  PortIdentity identity;
  identity.device = resolved(port);
  if (identity.device.empty()) {
    identity.device = port;
    return identity;
  }
  // The by-id name carries the adapter's maker, model and serial number.
  DIR* directory = opendir(BY_ID_DIRECTORY);
  if (directory == nullptr) return identity;
  while (dirent* entry = readdir(directory)) {
    if (entry->d_name[0] == '.') continue;
    std::string link = std::string(BY_ID_DIRECTORY) + "/" + entry->d_name;
    if (resolved(link) == identity.device) {
      identity.by_id = link;
      break;
    }
  }
  closedir(directory);
  return identity;
}

std::string port_presence(const std::string& port) {
  struct stat link{}, device{};
  if (lstat(port.c_str(), &link) != 0 || stat(port.c_str(), &device) != 0) return "";
  // A replugged adapter's name is made anew (its inode may be reused, its change time is not),
  // and its device may be another.
  char text[160];
  std::snprintf(text, sizeof text, "%llx:%llx:%lld.%09ld:%llx",
                static_cast<unsigned long long>(link.st_dev),
                static_cast<unsigned long long>(link.st_ino),
                static_cast<long long>(link.st_ctim.tv_sec), link.st_ctim.tv_nsec,
                static_cast<unsigned long long>(device.st_rdev));
  return text;
}

bool port_bind(const std::string& port, const std::string& directory, std::string& port_number,
               std::string& why) {
  port_number.clear();
  std::string target = link_target(port);
  std::string link = directory + "/COM1";
  if (symlink(target.c_str(), link.c_str()) != 0) {
    why = link + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

std::string port_bound_name(const std::string& port) {
  return "COM1 (./COM1 -> " + link_target(port) + ")";
}

}  // namespace xarveld::station
