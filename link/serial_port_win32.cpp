#include <windows.h>

#include <algorithm>

#include "common/console.hpp"
#include "common/process_exit.hpp"
#include "link/serial_port.hpp"

namespace xarveld {

namespace {
HANDLE port_handle = INVALID_HANDLE_VALUE;
HANDLE port_claim = nullptr;

// Windows' serial driver refuses a second open of a port, whatever the share mode; Wine does
// not, so a named object per port name keeps a second tool off a port that one already holds.
bool claim_port(const std::string& port_name) {
  std::string claim_name = "Global\\xarveld-" + port_name;
  SetLastError(ERROR_SUCCESS);
  port_claim = CreateMutexA(nullptr, FALSE, claim_name.c_str());
  if (port_claim != nullptr && GetLastError() != ERROR_ALREADY_EXISTS) return true;
  if (port_claim != nullptr) CloseHandle(port_claim);
  port_claim = nullptr;
  return false;
}

// Line settings built from an all-zero DCB, not from the port's current ones.
bool apply_line_settings(HANDLE handle, std::uint32_t baud_rate) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = baud_rate;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  // SetCommState refuses a DCB whose XonChar equals its XoffChar, as an all-zero one would have;
  // XON/XOFF itself stays off.
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  if (!SetCommState(handle, &dcb)) return false;

  // Return at once with what is waiting, else wait up to 20 ms for a first byte; writes do not
  // time out.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
  timeouts.ReadTotalTimeoutConstant = SERIAL_READ_INTERVAL_MS;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 0;
  return SetCommTimeouts(handle, &timeouts) != 0;
}
}  // namespace

void serial_open(const std::string& port_name, std::uint32_t baud_rate) {
  if (claim_port(port_name)) {
    port_handle = CreateFileA(port_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  }
  // Settings that cannot be applied leave a port at the wrong speed or without read time-outs:
  // such a port counts as one that cannot be opened.
  if (port_handle != INVALID_HANDLE_VALUE && !apply_line_settings(port_handle, baud_rate)) {
    CloseHandle(port_handle);
    port_handle = INVALID_HANDLE_VALUE;
  }
  if (port_handle == INVALID_HANDLE_VALUE) {
    console_printf("Could not open serial port!\n");
    end_process(1);
  }
  console_printf("Serial port opened...\n");
}

// What is queued, at once; when nothing is, the first byte (waiting up to 20 ms for it) and then
// what is queued behind it. One ReadFile of the whole capacity would return the same bytes on
// Windows, but Wine lets such a read run its full 20 ms even when bytes are waiting, and ends a
// read early only when it has the count it asked for: 20 ms per answer would make a long image
// take minutes there.
int serial_read(std::uint8_t* buffer, std::size_t capacity, std::size_t* count) {
  *count = 0;
  if (port_handle == INVALID_HANDLE_VALUE || capacity == 0) return 0;
  DWORD errors = 0;
  COMSTAT status{};
  // A port that cannot report its state is gone (a pulled adapter, a line that hung up): a failed
  // read. Under Wine a read of such a line would report success with nothing, after spinning.
  if (!ClearCommError(port_handle, &errors, &status)) return 0;
  bool queued = status.cbInQue > 0;
  DWORD wanted = queued ? static_cast<DWORD>(std::min<std::size_t>(status.cbInQue, capacity)) : 1;
  DWORD got = 0;
  if (!ReadFile(port_handle, buffer, wanted, &got, nullptr)) return 0;
  *count = got;
  if (queued || got == 0 || capacity == 1) return 1;
  if (!ClearCommError(port_handle, &errors, &status) || status.cbInQue == 0) return 1;
  wanted = static_cast<DWORD>(std::min<std::size_t>(status.cbInQue, capacity - 1));
  // A failure here is the next read's to report: the first byte is good.
  if (ReadFile(port_handle, buffer + 1, wanted, &got, nullptr)) *count += got;
  return 1;
}

void serial_write(const std::uint8_t* bytes, std::size_t length) {
  std::size_t done = 0;
  while (done < length && port_handle != INVALID_HANDLE_VALUE) {
    DWORD wrote = 0;
    if (!WriteFile(port_handle, bytes + done, static_cast<DWORD>(length - done), &wrote, nullptr) ||
        wrote == 0) {
      return;
    }
    done += wrote;
  }
}

void serial_close() {
  if (port_handle == INVALID_HANDLE_VALUE) return;
  CloseHandle(port_handle);
  port_handle = INVALID_HANDLE_VALUE;
  CloseHandle(port_claim);
  port_claim = nullptr;
}

bool serial_is_open() { return port_handle != INVALID_HANDLE_VALUE; }

}  // namespace xarveld
