#include <fcntl.h>
#include <unistd.h>

#include "station/os/thread_wake.hpp"

namespace xarveld::station {

bool thread_wake_open(ThreadWake& wake) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  wake.wait = ends[0];
  wake.raise = ends[1];
  return true;
}

void thread_wake_raise(const ThreadWake& wake) {
  char byte = 0;
  // A full pipe already wakes the wait: the byte that did not fit is not needed.
  if (wake.raise == NO_WAKE_HANDLE) return;
  [[maybe_unused]] ssize_t ignored = write(static_cast<int>(wake.raise), &byte, 1);
}

void thread_wake_clear(const ThreadWake& wake) {
  char drained[64];
  if (wake.wait == NO_WAKE_HANDLE) return;
  while (read(static_cast<int>(wake.wait), drained, sizeof drained) > 0) {
  }
}

void thread_wake_close(ThreadWake& wake) {
  if (wake.wait != NO_WAKE_HANDLE) close(static_cast<int>(wake.wait));
  if (wake.raise != NO_WAKE_HANDLE) close(static_cast<int>(wake.raise));
  wake = ThreadWake{};
}

}  // namespace xarveld::station
