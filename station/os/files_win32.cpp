#include <windows.h>

#include <filesystem>

#include "station/os/files.hpp"

namespace xarveld::station {

std::FILE* file_open_unshared(const std::string& path, const char* mode) {
  return std::fopen(path.c_str(), (std::string(mode) + "N").c_str());
}

std::string tool_beside_station(const char*) {
  char buffer[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  std::filesystem::path self(std::string(buffer, length));
  return (self.parent_path() / "xarveld.exe").string();
}

}  // namespace xarveld::station
