#include <windows.h>

#include <cstdlib>
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

std::string machine_data_directory() {
  const char* shared = std::getenv("ProgramData");
  std::filesystem::path base = shared != nullptr && *shared != '\0' ? shared : "C:\\ProgramData";
  return (base / "xarveld").string();
}

bool file_system_is_network(const std::string& path, std::string& kind) {
  std::filesystem::path native(path);
  std::wstring wide = native.make_preferred().wstring();
  // \\server\share, or \\?\UNC\server\share: another machine's disk, mapped or not.
  bool unc = wide.rfind(L"\\\\", 0) == 0 && wide.rfind(L"\\\\?\\", 0) != 0;
  if (unc || wide.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    kind = "a network share";
    return true;
  }
  wchar_t root[MAX_PATH];
  if (!GetVolumePathNameW(wide.c_str(), root, MAX_PATH)) return false;
  if (GetDriveTypeW(root) != DRIVE_REMOTE) return false;
  kind = "a network drive";
  return true;
}

}  // namespace xarveld::station
