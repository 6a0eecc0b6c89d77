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

// The other way: a device starts holding the file's bytes from offset 0 (8 MiB at most). Returns
// 1, or 0 when the file cannot be read or is larger than the device (the message goes to stderr).
int load_device(Memory& memory, std::uint16_t device, const std::string& path);

}  // namespace xarveld::sim
