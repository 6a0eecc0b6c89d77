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

bool append_locked(HANDLE file, const std::string& line, std::string& error) {
  LARGE_INTEGER before{};
  if (!GetFileSizeEx(file, &before)) {
    error = failed("GetFileSizeEx", GetLastError());
    return false;
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
    return true;
  error = failed("", GetLastError());
  // What went in before the failure comes out again: a line is in the record whole or not at all.
  if (move_to(file, before) && SetEndOfFile(file)) {
    FlushFileBuffers(file);
  } else {
    error += "; " + failed("the part written could not be taken back", GetLastError());
  }
  return false;
}
}  // namespace

bool record_open(const std::string& path, std::string& why) {
  HANDLE file = open_for_append(path, why);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

bool record_append(const std::string& path, const std::string& line, std::string& why) {
  HANDLE file = open_for_append(path, why);
  if (file == INVALID_HANDLE_VALUE) return false;
  OVERLAPPED whole{};
  bool ok = false;
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
    why = failed("LockFileEx", GetLastError());
  } else {
    ok = append_locked(file, line, why);
    UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
  }
  CloseHandle(file);
  return ok;
}

}  // namespace xarveld::station
