#include <windows.h>

#include "station/os/host.hpp"

namespace xarveld::station {

std::string host_name() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  if (!GetComputerNameA(name, &size)) return "";
  return name;
}

std::int64_t process_id() { return GetCurrentProcessId(); }

bool process_gone(std::int64_t pid) {
  if (pid <= 0 || pid > static_cast<std::int64_t>(MAXDWORD)) return false;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  // No such process is refused as a bad parameter; one that exists and is not ours, as access.
  if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
  DWORD code = 0;
  bool gone = GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
  CloseHandle(process);
  return gone;
}

}  // namespace xarveld::station
