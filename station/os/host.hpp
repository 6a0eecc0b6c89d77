#pragma once
// This machine and this process as the record and the ledger name them, and ids drawn from the
// system's random source. host.cpp holds the portable half; host_posix.cpp and host_win32.cpp
// what differs.
#include <cstdint>
#include <string>

namespace xarveld::station {

std::string host_name();
std::int64_t process_id();

// Whether the process with this number on this machine has ended: false when it lives, and
// when that cannot be told.
bool process_gone(std::int64_t pid);

// 128 bits of the system's random source as 32 hex digits.
std::string random_id();

}  // namespace xarveld::station
