#include "link/stale_input.hpp"

#include "link/clock.hpp"
#include "link/serial_port.hpp"

namespace xarveld {

void discard_stale_input() {
  constexpr std::uint64_t quiet = STALE_QUIET_MS * TICKS_PER_MILLISECOND;
  constexpr std::uint64_t limit = STALE_DISCARD_LIMIT_MS * TICKS_PER_MILLISECOND;
  std::uint64_t start = clock_ticks();
  std::uint64_t last_heard = start;
  std::uint8_t discarded[SERIAL_READ_SIZE];
  for (;;) {
    std::uint64_t now = clock_ticks();
    if (now - last_heard >= quiet || now - start >= limit) return;
    std::uint64_t wait = quiet - (now - last_heard);
    if (limit - (now - start) < wait) wait = limit - (now - start);
    std::size_t count = 0;
    std::uint32_t wait_ms = static_cast<std::uint32_t>(
        (wait + TICKS_PER_MILLISECOND - 1) / TICKS_PER_MILLISECOND);
    if (!serial_read_within(discarded, sizeof discarded, &count, wait_ms)) return;
    if (count > 0) last_heard = clock_ticks();
  }
}

}  // namespace xarveld
