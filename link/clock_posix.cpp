#include <time.h>

#include <cerrno>

#include "link/clock.hpp"

namespace xarveld {

std::uint64_t clock_ticks() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  std::uint64_t milliseconds = static_cast<std::uint64_t>(now.tv_sec) * 1000 +
                               static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
  return milliseconds * TICKS_PER_MILLISECOND;
}

void clock_sleep_ms(std::uint32_t milliseconds) {
  timespec left{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace xarveld
