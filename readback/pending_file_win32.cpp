#include <windows.h>

#include "common/process_exit.hpp"
#include "common/win32_error.hpp"
#include "readback/pending_file.hpp"

namespace xarveld {

namespace {
HANDLE handle = INVALID_HANDLE_VALUE;
std::string temp_path;
std::string target_path;

// A virus scanner or an indexer may hold the file being replaced for a moment; only one still
// held after this long fails the run.
constexpr ULONGLONG HELD_RETRY_MS = 1000;
constexpr DWORD HELD_RETRY_STEP_MS = 50;

// With its separator, or a drive's colon: "D:out.bin" lies in D:'s current directory, and the
// temporary file must be on the same volume for the rename.
std::string directory_of(const std::string& path) {
  std::size_t slash = path.find_last_of("/\\:");
  if (slash == std::string::npos) return ".\\";
  return path.substr(0, slash + 1);
}

bool fail(std::string& error, const std::string& what) {
  error = what + ": " + win32_error_text(GetLastError());
  return false;
}

bool move_when_free(const std::string& from, const std::string& to, DWORD flags) {
  ULONGLONG deadline = GetTickCount64() + HELD_RETRY_MS;
  for (;;) {
    if (MoveFileExA(from.c_str(), to.c_str(), flags)) return true;
    DWORD error = GetLastError();
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) ||
        GetTickCount64() >= deadline) {
      SetLastError(error);
      return false;
    }
    Sleep(HELD_RETRY_STEP_MS);
  }
}
}  // namespace

bool path_exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool pending_create(const std::string& final_path, std::string& error) {
  at_process_end(pending_discard);
  std::string directory = directory_of(final_path);
  for (int attempt = 0; attempt < 100 && handle == INVALID_HANDLE_VALUE; ++attempt) {
    temp_path = directory + ".xarveld-read-" + std::to_string(GetCurrentProcessId()) + "-" +
                std::to_string(attempt) + ".part";
    // CREATE_NEW never opens what is there, a link included; no sharing keeps it private.
    handle = CreateFileA(temp_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (handle == INVALID_HANDLE_VALUE) {
    temp_path.clear();
    return fail(error, "cannot create a file in " + directory);
  }
  target_path = final_path;
  return true;
}

bool pending_commit(const std::uint8_t* bytes, std::size_t length, bool replace,
                    std::string& error) {
  std::size_t done = 0;
  while (done < length) {
    DWORD chunk = length - done > 0x100000 ? 0x100000 : static_cast<DWORD>(length - done);
    DWORD written = 0;
    if (!WriteFile(handle, bytes + done, chunk, &written, nullptr) || written == 0) {
      return fail(error, "cannot write " + temp_path);
    }
    done += written;
  }
  if (!FlushFileBuffers(handle)) return fail(error, "cannot flush " + temp_path + " to disk");
  CloseHandle(handle);
  handle = INVALID_HANDLE_VALUE;
  DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  if (!move_when_free(temp_path, target_path, flags)) {
    return fail(error, "cannot put the file at " + target_path);
  }
  temp_path.clear();
  return true;
}

void pending_discard() {
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  handle = INVALID_HANDLE_VALUE;
  if (!temp_path.empty()) DeleteFileA(temp_path.c_str());
  temp_path.clear();
}

}  // namespace xarveld
