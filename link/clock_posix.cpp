#include <time.h>

#include "link/clock.hpp"

namespace xarveld {

std::uint64_t clock_ticks() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  std::uint64_t milliseconds = static_cast<std::uint64_t>(now.tv_sec) * 1000 +
                               static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
  return milliseconds * TICKS_PER_MILLISECOND;
}

}  // namespace xarveld
