// Windows from its own calls: the creation and CPU times, and the working set as the resident
// memory. Its handles are not files: open files are left out, not counted as handles.
#include <windows.h>
#include <psapi.h>

#include "station/os/process_facts.hpp"

namespace xarveld::station {

namespace {

// FILETIME counts 100 ns.
double seconds_of(const FILETIME& time) {
  ULONGLONG ticks = (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return static_cast<double>(ticks) / 1e7;
}

// Seconds from 1601, where FILETIME starts, to 1970.
constexpr double EPOCH_1970_FROM_1601 = 11644473600.0;

}  // namespace

ProcessFacts process_facts() {
  ProcessFacts facts;
  HANDLE self = GetCurrentProcess();
  FILETIME created, exited, kernel, user;
  if (GetProcessTimes(self, &created, &exited, &kernel, &user)) {
    facts.start_unix_seconds = seconds_of(created) - EPOCH_1970_FROM_1601;
    facts.cpu_seconds = seconds_of(kernel) + seconds_of(user);
  }
  PROCESS_MEMORY_COUNTERS memory{};
  // The K32 name is kernel32's own: no psapi library to link.
  if (K32GetProcessMemoryInfo(self, &memory, sizeof memory)) {
    facts.resident_bytes = memory.WorkingSetSize;
  }
  return facts;
}

}  // namespace xarveld::station
