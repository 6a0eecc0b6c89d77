#include <windows.h>

#include "station/os/host.hpp"

namespace xarveld::station {

namespace {

// The process's creation time in 100-ns units since 1601, 0 when it cannot be read.
std::int64_t creation_time(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return static_cast<std::int64_t>((static_cast<ULONGLONG>(created.dwHighDateTime) << 32) |
                                   created.dwLowDateTime);
}

}  // namespace

std::string host_name() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  if (!GetComputerNameA(name, &size)) return "";
  return name;
}

std::int64_t process_id() { return GetCurrentProcessId(); }

bool process_gone(std::int64_t pid) { return process_ended(pid, 0); }

// The GUID Windows setup gives the installation, read from the 64-bit view of the registry
// whatever this build's own width.
std::string machine_identity() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Cryptography", 0,
                    KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
    return "";
  }
  char guid[128] = {};
  DWORD size = sizeof guid - 1;
  DWORD type = 0;
  LONG read = RegQueryValueExA(key, "MachineGuid", nullptr, &type,
                               reinterpret_cast<BYTE*>(guid), &size);
  RegCloseKey(key);
  return read == ERROR_SUCCESS && type == REG_SZ ? std::string(guid) : std::string();
}

std::int64_t process_start_time(std::int64_t pid) {
  if (pid <= 0 || pid > static_cast<std::int64_t>(MAXDWORD)) return 0;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return 0;
  std::int64_t start = creation_time(process);
  CloseHandle(process);
  return start;
}

bool process_ended(std::int64_t pid, std::int64_t start_time) {
  if (pid <= 0 || pid > static_cast<std::int64_t>(MAXDWORD)) return false;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  // No such process is refused as a bad parameter; one that exists and is not ours, as access.
  if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
  DWORD code = 0;
  bool ended = GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
  std::int64_t start = creation_time(process);
  CloseHandle(process);
  return ended || (start_time != 0 && start != 0 && start != start_time);
}

}  // namespace xarveld::station
