#include <sys/vfs.h>
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

std::string machine_data_directory() { return "/var/lib/xarveld"; }

bool file_system_is_network(const std::string& path, std::string& kind) {
  struct statfs info {};
  if (statfs(path.c_str(), &info) != 0) return false;
  const char* name = network_file_system(static_cast<std::uint32_t>(info.f_type));
  if (name == nullptr) return false;
  kind = name;
  return true;
}

}  // namespace xarveld::station
