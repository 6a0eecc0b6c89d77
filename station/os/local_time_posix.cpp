#include <ctime>

#include "station/os/local_time.hpp"

namespace xarveld::station {

std::int64_t utc_offset_ms(std::int64_t unix_ms) {
  std::time_t seconds = static_cast<std::time_t>(unix_ms / 1000);
  std::tm local{};
  if (localtime_r(&seconds, &local) == nullptr) return 0;
  return static_cast<std::int64_t>(local.tm_gmtoff) * 1000;
}

}  // namespace xarveld::station
