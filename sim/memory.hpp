#pragma once
// The target's memories: SRAM (device 0) and flash devices 1 to 7, 8 MiB each. A device's bytes
// are allocated the first time it is written; until then it reads as its blank state: flash
// erased (0xFF), SRAM cleared (0x00).
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace xarveld::sim {

constexpr std::uint16_t SRAM_DEVICE = 0;
constexpr std::size_t DEVICE_COUNT = 8;
constexpr std::size_t DEVICE_BYTES = 0x800000;

struct Device {
  std::vector<std::uint8_t> bytes;  // empty until first written
  std::uint32_t written_end = 0;    // one past the highest offset ever written
};

struct Memory {
  std::array<Device, DEVICE_COUNT> devices;
};

bool device_exists(std::uint16_t device);
std::uint8_t device_blank_byte(std::uint16_t device);
bool device_written(const Memory& memory, std::uint16_t device);

// Writes what fits below the end of the device; returns the number of bytes written.
std::size_t memory_write(Memory& memory, std::uint16_t device, std::uint32_t offset,
                         const std::uint8_t* data, std::size_t length);

// Reads length bytes; offsets past the end of the device read as blank.
void memory_read(const Memory& memory, std::uint16_t device, std::uint32_t offset,
                 std::uint8_t* out, std::size_t length);

}  // namespace xarveld::sim
