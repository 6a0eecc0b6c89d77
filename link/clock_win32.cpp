#include <windows.h>

#include "link/clock.hpp"

namespace xarveld {

// QueryPerformanceCounter rather than GetTickCount64, which moves in steps of about 16 ms.
std::uint64_t clock_ticks() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  std::uint64_t count = static_cast<std::uint64_t>(counter.QuadPart);
  std::uint64_t per_second = static_cast<std::uint64_t>(frequency.QuadPart);
  std::uint64_t milliseconds = count / per_second * 1000 + count % per_second * 1000 / per_second;
  return milliseconds * TICKS_PER_MILLISECOND;
}

}  // namespace xarveld
