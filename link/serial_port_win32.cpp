#include <windows.h>

#include <algorithm>

#include "common/interrupt.hpp"
#include "common/process_exit.hpp"
#include "common/win32_error.hpp"
#include "link/clock.hpp"
#include "link/serial_port.hpp"
#include "link/serial_port_platform.hpp"

namespace xarveld {

namespace {
HANDLE port_handle = INVALID_HANDLE_VALUE;
HANDLE port_claim = nullptr;
std::string port_description;

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

// What the system said when opening failed, with a hint where one helps.
std::string open_failure(DWORD error) {
  std::string reason = win32_error_text(error);
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    return reason + "; is the adapter plugged in? see Device Manager, Ports (COM & LPT)";
  }
  if (error == ERROR_ACCESS_DENIED) return reason + "; is it in use by another program?";
  return reason;
}

// DTR or RTS used as a handshake line is flow control; held low or high, it is only a line.
bool flow_controlled(const DCB& dcb) {
  return dcb.fOutxCtsFlow || dcb.fOutxDsrFlow || dcb.fOutX || dcb.fInX ||
         dcb.fRtsControl == RTS_CONTROL_HANDSHAKE || dcb.fDtrControl == DTR_CONTROL_HANDSHAKE;
}

// A driver may report the rate its clock divider achieved rather than the one asked for: 115384
// for 115200. A UART tolerates a few per cent between the two ends.
bool baud_rate_close(DWORD achieved, DWORD asked) {
  DWORD difference = achieved > asked ? achieved - asked : asked - achieved;
  return difference * 100 <= asked * 3;
}

// SetCommState succeeds on drivers that quietly keep some of their own settings: what matters
// to the loader is read back and compared. DTR and RTS count only as handshakes: Wine, which
// cannot read a pseudo-terminal's modem lines, reports other modes for them than were set.
bool line_settings_took(const DCB& asked, const DCB& read_back) {
  return baud_rate_close(read_back.BaudRate, asked.BaudRate) &&
         read_back.ByteSize == asked.ByteSize &&
         read_back.Parity == asked.Parity && read_back.StopBits == asked.StopBits &&
         flow_controlled(read_back) == flow_controlled(asked);
}

// Reads return at once with what is waiting, else wait up to wait_ms for a first byte. A write
// runs one slice at most, so that an interrupt is seen while a line takes nothing; serial_write
// gives up after SERIAL_WRITE_LIMIT_MS of slices.
bool set_read_wait(HANDLE handle, DWORD wait_ms) {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
  timeouts.ReadTotalTimeoutConstant = wait_ms;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = SERIAL_READ_INTERVAL_MS;
  return SetCommTimeouts(handle, &timeouts) != 0;
}

// Line settings built from an all-zero DCB, not from the port's current ones.
bool apply_line_settings(HANDLE handle, std::uint32_t baud_rate) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = baud_rate;
  // Windows supports binary transfers only; the loader's raw answers are full of zero bytes.
  dcb.fBinary = TRUE;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  // SetCommState refuses a DCB whose XonChar equals its XoffChar, as an all-zero one would have;
  // XON/XOFF itself stays off.
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  if (!SetCommState(handle, &dcb)) return false;
  DCB read_back{};
  read_back.DCBlength = sizeof read_back;
  if (!GetCommState(handle, &read_back) || !line_settings_took(dcb, read_back)) return false;

  if (!set_read_wait(handle, SERIAL_READ_INTERVAL_MS)) return false;
  // What was waiting on the line (a boot banner, an answer meant for an earlier run) is not an
  // answer to this run's first command.
  PurgeComm(handle, PURGE_RXCLEAR);
  return true;
}

// Returns the handle, or INVALID_HANDLE_VALUE with the reason in failure.
HANDLE open_port(const std::string& port_name, std::uint32_t baud_rate, std::string& failure) {
  if (!claim_port(port_name)) {
    failure = "in use by another program";
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = CreateFileA(port_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    failure = open_failure(GetLastError());
  } else {
    // A board whose reset or boot pins hang on DTR or RTS must not see them up any longer than
    // it takes to drop them.
    EscapeCommFunction(handle, CLRDTR);
    EscapeCommFunction(handle, CLRRTS);
    // Settings that cannot be applied leave a port at the wrong speed or without read
    // time-outs: such a port counts as one that cannot be opened.
    if (apply_line_settings(handle, baud_rate)) return handle;
    failure = "the line settings could not be applied";
    CloseHandle(handle);
  }
  CloseHandle(port_claim);
  port_claim = nullptr;
  return INVALID_HANDLE_VALUE;
}
}  // namespace

bool serial_open_device(const std::string& port_name, std::uint32_t baud_rate,
                        std::string& failure) {
  port_description = port_name;
  port_handle = open_port(port_name, baud_rate, failure);
  return port_handle != INVALID_HANDLE_VALUE;
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

// A waiting time other than the read interval is asked for only while the port is being opened.
int serial_read_within(std::uint8_t* buffer, std::size_t capacity, std::size_t* count,
                       std::uint32_t wait_ms) {
  if (wait_ms == SERIAL_READ_INTERVAL_MS || port_handle == INVALID_HANDLE_VALUE) {
    return serial_read(buffer, capacity, count);
  }
  *count = 0;
  if (!set_read_wait(port_handle, wait_ms)) return 0;
  int result = serial_read(buffer, capacity, count);
  if (!set_read_wait(port_handle, SERIAL_READ_INTERVAL_MS)) return 0;
  return result;
}

namespace {
// Most drivers end a slice that ran out of time with success and a short count; some report a
// time-out instead.
bool slice_timed_out(DWORD error) {
  return error == ERROR_SEM_TIMEOUT || error == ERROR_TIMEOUT || error == ERROR_COUNTER_TIMEOUT;
}
}  // namespace

// A write that fails, rather than running out of time, means the device went away.
int serial_write(const std::uint8_t* bytes, std::size_t length) {
  std::uint64_t deadline = 0;  // set once a slice leaves something behind
  std::size_t done = 0;
  while (done < length) {
    if (port_handle == INVALID_HANDLE_VALUE) return SERIAL_WRITE_GONE;
    DWORD wrote = 0;
    if (!WriteFile(port_handle, bytes + done, static_cast<DWORD>(length - done), &wrote,
                   nullptr) &&
        !slice_timed_out(GetLastError())) {
      return SERIAL_WRITE_GONE;
    }
    done += wrote;
    if (done == length) break;
    end_process_if_interrupted();
    std::uint64_t now = clock_ticks();
    if (deadline == 0) deadline = now + SERIAL_WRITE_LIMIT_MS * TICKS_PER_MILLISECOND;
    if (now >= deadline) return SERIAL_WRITE_STUCK;
  }
  return SERIAL_WRITE_DONE;
}

void serial_discard_output() {
  if (port_handle != INVALID_HANDLE_VALUE) PurgeComm(port_handle, PURGE_TXABORT | PURGE_TXCLEAR);
}

void serial_close() {
  if (port_handle == INVALID_HANDLE_VALUE) return;
  // What was written (the disconnect command) gets a bounded time to leave; the rest is
  // discarded, so that closing never waits on output that cannot go.
  std::uint64_t deadline = clock_ticks() + SERIAL_DRAIN_LIMIT_MS * TICKS_PER_MILLISECOND;
  DWORD errors = 0;
  COMSTAT status{};
  while (!interrupt_requested() && ClearCommError(port_handle, &errors, &status) &&
         status.cbOutQue > 0 && clock_ticks() < deadline) {
    Sleep(SERIAL_DRAIN_POLL_MS);
  }
  serial_discard_output();
  CloseHandle(port_handle);
  port_handle = INVALID_HANDLE_VALUE;
  CloseHandle(port_claim);
  port_claim = nullptr;
}

bool serial_is_open() { return port_handle != INVALID_HANDLE_VALUE; }

const std::string& serial_port_description() { return port_description; }

}  // namespace xarveld
