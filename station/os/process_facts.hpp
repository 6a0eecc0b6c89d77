#pragma once
// What the plant's monitoring asks of any process it scrapes: when it started, the CPU it has
// used, its memory and its open files. Each is absent where the platform cannot tell it
// honestly: Windows counts handles, not files, so it gives no open files.
#include <cstdint>
#include <optional>

namespace xarveld::station {

struct ProcessFacts {
  std::optional<double> start_unix_seconds;
  std::optional<double> cpu_seconds;  // user and system
  std::optional<std::uint64_t> resident_bytes;
  std::optional<std::uint64_t> open_files;
};

// This process's facts now.
ProcessFacts process_facts();

}  // namespace xarveld::station
