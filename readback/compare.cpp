#include "readback/compare.hpp"

#include <algorithm>

#include "link/packet.hpp"
#include "readback/device_read.hpp"
#include "readback/report.hpp"

namespace xarveld {

void note_differences(const std::uint8_t* device, const std::uint8_t* expected,
                      std::uint32_t length, std::uint32_t offset, Comparison& comparison) {
  for (std::uint32_t i = 0; i < length; ++i) {
    if (device[i] == expected[i]) continue;
    std::uint32_t at = offset + i;
    ++comparison.differing;
    if (!comparison.ranges.empty() && comparison.ranges.back().last + 1 == at) {
      comparison.ranges.back().last = at;
    } else {
      comparison.ranges.push_back({at, at});
    }
  }
}

int compare_device(int device, std::uint32_t start, const std::vector<std::uint8_t>& expected,
                   bool exact, Comparison& comparison) {
  std::uint32_t length = static_cast<std::uint32_t>(expected.size());
  DeviceRange range = covering_range(device, start, length);
  std::uint32_t lead = start - range.first;  // 1 when the start is odd
  std::vector<std::uint8_t> bytes;
  comparison = Comparison{};
  progress_start(range.end - range.first);
  if (exact) {
    if (read_range_confirmed(range, bytes) != 0) return -1;
    note_differences(bytes.data() + lead, expected.data(), length, start, comparison);
    progress_end();
    return 0;
  }
  // What the device should hold, word for word; a byte of an edge word outside the file is not
  // known, so the KiB that holds it is always read.
  std::vector<std::uint8_t> wanted(range.end - range.first, 0);
  std::copy(expected.begin(), expected.end(), wanted.begin() + lead);
  bytes.assign(wanted.size(), 0);
  std::vector<std::uint16_t> sums;
  if (read_sums(range, sums) != 0) return -1;
  for (std::size_t block = 0; block < sums.size(); ++block) {
    bool edge = (block == 0 && lead != 0) ||
                (block + 1 == sums.size() && start + length != range.end);
    if (!edge && sums[block] == block_sum(range, block, wanted.data())) continue;
    if (read_block_confirmed(range, block, bytes.data()) != 0) return -1;
    // The file's bytes within this KiB.
    std::uint32_t from = std::max<std::uint32_t>(
        start, range.first + static_cast<std::uint32_t>(block * CHECKSUM_BLOCK_BYTES));
    std::uint32_t block_end =
        range.first + static_cast<std::uint32_t>((block + 1) * CHECKSUM_BLOCK_BYTES);
    std::uint32_t to = std::min<std::uint32_t>(start + length, block_end);
    note_differences(bytes.data() + (from - range.first), expected.data() + (from - start),
                     to - from, from, comparison);
  }
  progress_end();
  return 0;
}

}  // namespace xarveld
