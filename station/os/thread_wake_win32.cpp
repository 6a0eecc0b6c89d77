#include <windows.h>

#include "station/os/thread_wake.hpp"

namespace xarveld::station {

bool thread_wake_open(ThreadWake& wake) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) return false;
  wake.wait = wake.raise = reinterpret_cast<WakeHandle>(event);
  return true;
}

void thread_wake_raise(const ThreadWake& wake) {
  if (wake.raise != NO_WAKE_HANDLE) SetEvent(reinterpret_cast<HANDLE>(wake.raise));
}

void thread_wake_clear(const ThreadWake& wake) {
  if (wake.wait != NO_WAKE_HANDLE) ResetEvent(reinterpret_cast<HANDLE>(wake.wait));
}

void thread_wake_close(ThreadWake& wake) {
  if (wake.wait != NO_WAKE_HANDLE) CloseHandle(reinterpret_cast<HANDLE>(wake.wait));
  wake = ThreadWake{};
}

}  // namespace xarveld::station
