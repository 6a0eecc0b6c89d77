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

// What makes a process number mean one process: two stations with the same identity see each
// other's processes, and no two others do. On Linux the machine id, the boot (process start
// times count from it, and PCs cloned from one image share a machine id) and the PID namespace
// (a container); on Windows the machine's GUID. Empty when it cannot be told.
std::string machine_identity();

// When the process started, in the platform's own units (clock ticks since boot on Linux, the
// creation time on Windows): with the pid, it tells the process from a later one given the
// same number. 0 when unknown.
std::int64_t process_start_time(std::int64_t pid);

// Whether the process pid of this machine identity, started at start_time, has ended: it is
// gone, only a zombie is left, or its number belongs to a process started at another time. A
// stopped process lives. With start_time 0 the pid alone tells. False when it cannot be told.
bool process_ended(std::int64_t pid, std::int64_t start_time);

// 128 bits of the system's random source as 32 hex digits.
std::string random_id();

}  // namespace xarveld::station
