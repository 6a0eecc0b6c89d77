#pragma once
// This PC's local time, where people count shifts and days: only its offset from UTC.
#include <cstdint>

namespace xarveld::station {

// Local time minus UTC at the instant unix_ms, in milliseconds (daylight saving included); 0
// when the system cannot tell.
std::int64_t utc_offset_ms(std::int64_t unix_ms);

}  // namespace xarveld::station
