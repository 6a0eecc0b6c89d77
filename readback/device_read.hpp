#pragma once
// Reading a flash device back through the loader, every byte confirmed by the loader's own sums.
// The loader moves 16-bit words, so a range runs from an even first offset to an even end: a
// caller asking for an odd start or length reads the words that cover it and keeps its bytes.
#include <cstdint>
#include <vector>

namespace xarveld {

struct DeviceRange {
  int device = 5;
  std::uint32_t first = 0;  // even
  std::uint32_t end = 0;    // even, one past the last byte
};

// The words covering length bytes from start.
DeviceRange covering_range(int device, std::uint32_t start, std::uint32_t length);

// The loader's 16-bit word sum of each KiB of the range, counted from range.first (the last may
// be shorter). Returns 0, or -1 after saying why.
int read_sums(const DeviceRange& range, std::vector<std::uint16_t>& sums);

// Reads KiB number block of the range into bytes (which hold the whole range from range.first)
// until its bytes add up to the loader's own sum of it, three reads at most. Returns 0, or -1
// after saying why.
int read_block_confirmed(const DeviceRange& range, std::size_t block, std::uint8_t* bytes);

// The whole range by data reads, then the sums; a KiB whose sum disagrees is read again as above.
// Returns 0 with bytes holding the range, or -1 after saying why.
int read_range_confirmed(const DeviceRange& range, std::vector<std::uint8_t>& bytes);

// The sum the loader reports for KiB number block of bytes that hold the whole range.
std::uint16_t block_sum(const DeviceRange& range, std::size_t block, const std::uint8_t* bytes);

}  // namespace xarveld
