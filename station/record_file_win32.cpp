#include <windows.h>

#include <cstdio>

#include "station/record_file.hpp"

namespace xarveld::station {

namespace {
std::string failed(const char* what) {
  char text[96];
  std::snprintf(text, sizeof text, "%s (error %lu)", what, GetLastError());
  return text;
}
}  // namespace

int record_append(const std::string& path, const std::string& line, std::string& error) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = failed("cannot be opened");
    return 0;
  }
  OVERLAPPED whole{};
  int ok = 0;
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
    error = failed("cannot be locked");
  } else {
    LARGE_INTEGER end{};
    DWORD written = 0;
    if (!SetFilePointerEx(file, end, nullptr, FILE_END) ||
        !WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
        written != line.size() || !FlushFileBuffers(file)) {
      error = failed("cannot be written");
    } else {
      ok = 1;
    }
    UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
  }
  CloseHandle(file);
  return ok;
}

std::string host_name() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  if (!GetComputerNameA(name, &size)) return "";
  return name;
}

}  // namespace xarveld::station
