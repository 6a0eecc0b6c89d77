#include <windows.h>

#include <cstdio>

#include "station/os/record_file.hpp"

namespace xarveld::station {

namespace {
// The system's reason, after what failed when that is not plain.
std::string failed(const char* what, DWORD code) {
  char reason[256] = {};
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                code, 0, reason, sizeof reason, nullptr);
  while (length > 0 && (reason[length - 1] == '\r' || reason[length - 1] == '\n' ||
                        reason[length - 1] == ' ' || reason[length - 1] == '.')) {
    reason[--length] = '\0';
  }
  char text[384];
  std::snprintf(text, sizeof text, "%s%s%s (error %lu)", what, what[0] != '\0' ? ": " : "",
                length > 0 ? reason : "no reason given", code);
  return text;
}

HANDLE open_for_append(const std::string& path, std::string& error) {
  HANDLE file = INVALID_HANDLE_VALUE;
  // Reading serves only to see whether the last line is whole: a file that may be written and
  // not read is still written.
  const DWORD accesses[] = {GENERIC_READ | GENERIC_WRITE, GENERIC_WRITE};
  for (DWORD access : accesses) {
    file = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED) break;
  }
  if (file == INVALID_HANDLE_VALUE) error = failed("", GetLastError());
  return file;
}

bool move_to(HANDLE file, LARGE_INTEGER at) {
  return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) != 0;
}

// Writes all of bytes; false when the system takes no more, with the reason in GetLastError: a
// write cut short (a full disk) is tried again for the rest, which then fails with its reason.
bool write_all(HANDLE file, const char* bytes, std::size_t size) {
  while (size > 0) {
    DWORD written = 0;
    SetLastError(ERROR_SUCCESS);
    if (!WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr)) return false;
    if (written == 0) {
      if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_DISK_FULL);
      return false;
    }
    bytes += written;
    size -= written;
  }
  return true;
}

int append_locked(HANDLE file, const std::string& line, std::string& error) {
  LARGE_INTEGER before{};
  if (!GetFileSizeEx(file, &before)) {
    error = failed("GetFileSizeEx", GetLastError());
    return 0;
  }
  std::string text = line;
  if (before.QuadPart > 0) {
    LARGE_INTEGER last_byte{};
    last_byte.QuadPart = before.QuadPart - 1;
    char last = '\n';
    DWORD got = 0;
    if (move_to(file, last_byte) && ReadFile(file, &last, 1, &got, nullptr) && got == 1 &&
        last != '\n') {
      text.insert(text.begin(), '\n');
    }
  }
  if (move_to(file, before) && write_all(file, text.data(), text.size()) && FlushFileBuffers(file))
    return 1;
  error = failed("", GetLastError());
  // What went in before the failure comes out again: a line is in the record whole or not at all.
  if (move_to(file, before) && SetEndOfFile(file)) {
    FlushFileBuffers(file);
  } else {
    error += "; " + failed("the part written could not be taken back", GetLastError());
  }
  return 0;
}
}  // namespace

int record_open(const std::string& path, std::string& error) {
  HANDLE file = open_for_append(path, error);
  if (file == INVALID_HANDLE_VALUE) return 0;
  CloseHandle(file);
  return 1;
}

int record_append(const std::string& path, const std::string& line, std::string& error) {
  HANDLE file = open_for_append(path, error);
  if (file == INVALID_HANDLE_VALUE) return 0;
  OVERLAPPED whole{};
  int ok = 0;
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
    error = failed("LockFileEx", GetLastError());
  } else {
    ok = append_locked(file, line, error);
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

std::int64_t process_id() { return GetCurrentProcessId(); }

}  // namespace xarveld::station
