#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include "common/win32_error.hpp"
#include "trace/log_file.hpp"

namespace xarveld {

namespace {
// A virus scanner, an indexer or an editor may hold the file for a moment without letting others
// write it; only a file still held after this long is taken to be another run's.
constexpr ULONGLONG SHARING_RETRY_MS = 1000;
constexpr DWORD SHARING_RETRY_STEP_MS = 50;

HANDLE open_shared_for_reading(const char* name) {
  ULONGLONG deadline = GetTickCount64() + SHARING_RETRY_MS;
  for (;;) {
    // Others may read the log while the run writes it, but no other writer may open it: a
    // second run is refused before it could empty the file.
    HANDLE handle = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION ||
        GetTickCount64() >= deadline) {
      return handle;
    }
    Sleep(SHARING_RETRY_STEP_MS);
  }
}
}  // namespace

LogFile log_file_take(const char* name) {
  LogFile file;
  HANDLE handle = open_shared_for_reading(name);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION) {
      file.outcome = LogFileOutcome::HeldByAnotherRun;
    } else {
      file.reason = win32_error_text(error);
    }
    return file;
  }
  if (!SetEndOfFile(handle)) {
    file.reason = win32_error_text(GetLastError());
    CloseHandle(handle);
    return file;
  }
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    file.reason = "cannot make a stream of it";
    return file;
  }
  file.stream = _fdopen(fd, "wb");
  if (file.stream == nullptr) {
    _close(fd);
    file.reason = "cannot make a stream of it";
    return file;
  }
  file.outcome = LogFileOutcome::Opened;
  return file;
}

}  // namespace xarveld
