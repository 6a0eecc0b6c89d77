#pragma once
// The evidence a session leaves: each device that was written, from offset 0 up to the highest
// offset written, as sram.bin (device 0) or deviceN.bin in the dump directory.
#include <cstdint>
#include <string>

#include "sim/memory.hpp"

namespace xarveld::sim {

std::string dump_file_name(std::uint16_t device);

// Creates the directory if it is missing. Returns 1 on success, 0 when a file could not be
// written (the message goes to stderr).
int write_dumps(const Memory& memory, const std::string& directory);

}  // namespace xarveld::sim
