#pragma once
// What the station's one wait wakes for besides its children: a file descriptor on POSIX, an
// event handle on Windows. Each service that can wake the loop (interrupts, the operator's Enter,
// the terminal taking more output) hands out one; child_process's wait_for_activity takes them.
#include <cstdint>

namespace xarveld::station {

using WakeHandle = std::intptr_t;
constexpr WakeHandle NO_WAKE_HANDLE = -1;

}  // namespace xarveld::station
