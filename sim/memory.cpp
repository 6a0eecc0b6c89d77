#include "sim/memory.hpp"

#include <algorithm>
#include <cstring>

namespace xarveld::sim {

bool device_exists(std::uint16_t device) { return device < DEVICE_COUNT; }

std::uint8_t device_blank_byte(std::uint16_t device) {
  return device == SRAM_DEVICE ? 0x00 : 0xFF;
}

bool device_written(const Memory& memory, std::uint16_t device) {
  return device_exists(device) && memory.devices[device].written_end > 0;
}

std::size_t memory_write(Memory& memory, std::uint16_t device, std::uint32_t offset,
                         const std::uint8_t* data, std::size_t length) {
  if (!device_exists(device) || offset >= DEVICE_BYTES) return 0;
  std::size_t count = std::min<std::size_t>(length, DEVICE_BYTES - offset);
  if (count == 0) return 0;
  Device& target = memory.devices[device];
  if (target.bytes.empty()) target.bytes.assign(DEVICE_BYTES, device_blank_byte(device));
  std::memcpy(&target.bytes[offset], data, count);
  target.written_end = std::max(target.written_end, static_cast<std::uint32_t>(offset + count));
  return count;
}

void memory_read(const Memory& memory, std::uint16_t device, std::uint32_t offset,
                 std::uint8_t* out, std::size_t length) {
  std::uint8_t blank = device_blank_byte(device);
  const std::vector<std::uint8_t>* bytes =
      device_exists(device) ? &memory.devices[device].bytes : nullptr;
  for (std::size_t i = 0; i < length; ++i) {
    std::uint64_t at = static_cast<std::uint64_t>(offset) + i;
    bool stored = bytes != nullptr && !bytes->empty() && at < DEVICE_BYTES;
    out[i] = stored ? (*bytes)[at] : blank;
  }
}

}  // namespace xarveld::sim
