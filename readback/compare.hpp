#pragma once
// Comparing a flash device with the file it should hold. First the loader's KiB sums against the
// file's; then data reads of only the KiB whose sums differ, or of every KiB when exact. Equal
// 16-bit sums are strong evidence of equal bytes, not proof: exact settles it.
#include <cstdint>
#include <vector>

namespace xarveld {

struct DifferingRange {
  std::uint32_t first = 0;  // device offsets, both differing
  std::uint32_t last = 0;
};

struct Comparison {
  std::uint32_t differing = 0;  // bytes
  std::vector<DifferingRange> ranges;
};

// Notes each byte of device that differs from expected (length bytes lying at offset on),
// joining a difference to the range just before it when they touch.
void note_differences(const std::uint8_t* device, const std::uint8_t* expected,
                      std::uint32_t length, std::uint32_t offset, Comparison& comparison);

// Returns 0 with comparison filled, or -1 after saying why.
int compare_device(int device, std::uint32_t start, const std::vector<std::uint8_t>& expected,
                   bool exact, Comparison& comparison);

}  // namespace xarveld
