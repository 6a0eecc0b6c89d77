#pragma once
// A device or driver file: a raw binary image whose byte k is the byte for target offset k.
#include <cstdint>
#include <memory>
#include <string>

namespace xarveld {

constexpr std::uint32_t IMAGE_CAPACITY = 0x800000;  // 8 MiB

struct Image {
  // IMAGE_CAPACITY bytes reserved; only what the file fills, and the 0xFF padding of its last
  // 32-byte block, is ever touched, so a small image costs little memory.
  std::unique_ptr<std::uint8_t[]> bytes;
  std::uint32_t size = 0;
};

// Reads the file at path, 8 MiB at most, in one read and prints
// "\nLoaded Bin file: %s\nSize = 0x%08x Bytes\n". A file that cannot be opened or read (a
// directory, a read that fails half-way) prints "Could not open bin file: %s\n" and ends the
// process with status 1: a failed read is never taken for a shorter image. A file of more than
// 8 MiB prints "Bin file too large: %s\n" and ends it the same way: never a truncated image.
Image load_image(const std::string& path);

// Flash devices the loader programs and verifies; 0 is the SRAM, 6 is not a device.
constexpr bool is_flash_device(int device) { return device >= 1 && device <= 7 && device != 6; }

}  // namespace xarveld
