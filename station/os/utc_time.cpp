#include "station/os/utc_time.hpp"

#include <chrono>
#include <cstdio>

namespace xarveld::station {

namespace {
struct Civil {
  std::int64_t year;
  unsigned month, day, hour, minute, second, millisecond;
};

// The proleptic Gregorian date of a count of days since 1970-01-01 (H. Hinnant's algorithm), so
// that no platform's gmtime is needed.
Civil civil_from_unix_ms(std::int64_t unix_ms) {
  std::int64_t days = unix_ms / 86400000;
  std::int64_t in_day = unix_ms % 86400000;
  if (in_day < 0) {
    in_day += 86400000;
    --days;
  }
  days += 719468;
  std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  auto day_of_era = static_cast<unsigned>(days - era * 146097);
  unsigned year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 -
                          day_of_era / 146096) / 365;
  unsigned day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  unsigned shifted_month = (5 * day_of_year + 2) / 153;
  Civil civil{};
  civil.day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
  civil.month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  civil.year = static_cast<std::int64_t>(year_of_era) + era * 400 + (civil.month <= 2 ? 1 : 0);
  auto ms = static_cast<unsigned>(in_day);
  civil.hour = ms / 3600000;
  civil.minute = ms / 60000 % 60;
  civil.second = ms / 1000 % 60;
  civil.millisecond = ms % 1000;
  return civil;
}
}  // namespace

std::int64_t now_unix_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string iso_utc(std::int64_t unix_ms) {
  Civil c = civil_from_unix_ms(unix_ms);
  char text[40];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02u.%03uZ",
                static_cast<long long>(c.year), c.month, c.day, c.hour, c.minute, c.second,
                c.millisecond);
  return text;
}

std::string compact_utc(std::int64_t unix_ms) {
  Civil c = civil_from_unix_ms(unix_ms);
  char text[40];
  std::snprintf(text, sizeof text, "%04lld%02u%02uT%02u%02u%02uZ", static_cast<long long>(c.year),
                c.month, c.day, c.hour, c.minute, c.second);
  return text;
}

}  // namespace xarveld::station
