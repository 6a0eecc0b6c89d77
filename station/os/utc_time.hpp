#pragma once
// Wall-clock times of the record and of the attempt directories, always in UTC.
#include <cstdint>
#include <string>

namespace xarveld::station {

std::int64_t now_unix_ms();

// "2026-12-08T06:30:16.123Z": ISO 8601, milliseconds.
std::string iso_utc(std::int64_t unix_ms);

// "20261208T063016Z": the attempt directory's stamp, which sorts by time.
std::string compact_utc(std::int64_t unix_ms);

}  // namespace xarveld::station
