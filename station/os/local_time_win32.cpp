#include <ctime>

#include "station/os/local_time.hpp"

namespace xarveld::station {

// The local calendar time read back as if it were UTC, less the instant: the offset then.
std::int64_t utc_offset_ms(std::int64_t unix_ms) {
  __time64_t seconds = unix_ms / 1000;
  std::tm local{};
  if (_localtime64_s(&local, &seconds) != 0) return 0;
  __time64_t as_utc = _mkgmtime64(&local);
  if (as_utc == -1) return 0;
  return static_cast<std::int64_t>(as_utc - seconds) * 1000;
}

}  // namespace xarveld::station
