#pragma once
// A wake that another thread of the station raises for the loop's one wait: a non-blocking pipe
// on POSIX, a manual-reset event on Windows. Raising it twice before the loop clears it wakes the
// wait once.
#include "station/os/wake.hpp"

namespace xarveld::station {

struct ThreadWake {
  WakeHandle wait = NO_WAKE_HANDLE;  // what the loop's wait watches
  WakeHandle raise = NO_WAKE_HANDLE;
};

// False when the system had no pipe or event to give.
[[nodiscard]] bool thread_wake_open(ThreadWake& wake);
void thread_wake_raise(const ThreadWake& wake);
// Called by the loop before it reads what the other thread left, so that a raise after it is
// not lost.
void thread_wake_clear(const ThreadWake& wake);
void thread_wake_close(ThreadWake& wake);

}  // namespace xarveld::station
