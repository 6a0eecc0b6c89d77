#include <unistd.h>

#include <climits>
#include <filesystem>

#include "station/os/files.hpp"

namespace xarveld::station {

std::FILE* file_open_unshared(const std::string& path, const char* mode) {
  return std::fopen(path.c_str(), (std::string(mode) + "e").c_str());
}

std::string tool_beside_station(const char* argv0) {
  char buffer[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  std::filesystem::path self;
  if (length > 0) {
    self = std::string(buffer, static_cast<std::size_t>(length));
  } else {
    std::error_code code;
    self = std::filesystem::absolute(argv0, code);
  }
  return (self.parent_path() / "xarveld").string();
}

}  // namespace xarveld::station
