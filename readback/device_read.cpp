#include "readback/device_read.hpp"

#include <algorithm>

#include "link/packet.hpp"
#include "link/serial_port.hpp"
#include "link/transaction.hpp"
#include "readback/report.hpp"

namespace xarveld {

namespace {
constexpr int READS_PER_BLOCK = 3;

int unanswered(const DeviceRange& range, std::uint32_t offset) {
  if (!serial_is_open()) {
    report_trouble("the port was lost at offset 0x%06x of device %d: check the adapter, the "
                   "cable and the board's power", offset, range.device);
  } else {
    report_trouble("the loader stopped answering at offset 0x%06x of device %d: check that the "
                   "board is powered and its loader running, and that -b gives its baud rate",
                   offset, range.device);
  }
  return -1;
}

// Announces a read of the range from offset on; the loader refuses a device it does not have.
int begin(const DeviceRange& range, std::uint16_t operation, std::uint32_t offset) {
  Packet command = build_begin(operation, static_cast<std::uint16_t>(range.device), offset,
                               range.end);
  Packet response{};
  if (transact(command, response) != 1) return unanswered(range, offset);
  if (packet_command_code(response[0]) == RESPONSE_REFUSED) {
    report_trouble("the loader refused to read device %d: check -d and that -l loaded the "
                   "driver the device needs", range.device);
    return -1;
  }
  return 0;
}

std::uint32_t block_start(const DeviceRange& range, std::size_t block) {
  return range.first + static_cast<std::uint32_t>(block * CHECKSUM_BLOCK_BYTES);
}

std::uint32_t block_end(const DeviceRange& range, std::size_t block) {
  return std::min<std::uint32_t>(range.end, block_start(range, block) + CHECKSUM_BLOCK_BYTES);
}

// Data reads of [offset, end) into bytes (which hold the range from range.first). An answer with
// fewer words than its block is read again from its offset, never padded.
int read_data(const DeviceRange& range, std::uint32_t offset, std::uint32_t end,
              std::uint8_t* bytes) {
  if (begin(range, OP_VERIFY_DATA, offset) != 0) return -1;
  Packet read_next = build_read_next();
  Packet response{};
  for (std::uint32_t at = offset; at < end; at += DATA_BLOCK_BYTES) {
    std::size_t words = std::min<std::uint32_t>(DATA_BLOCK_BYTES, end - at) / 2;
    for (int reads = 1;; ++reads) {
      if (transact(read_next, response) != 1) return unanswered(range, at);
      bool whole = packet_command_code(response[0]) == CMD_READ_NEXT &&
                   packet_word_count(response[0]) - 2 >= words;
      if (whole) break;
      if (reads == READS_PER_BLOCK) {
        report_trouble("the loader answered the read at offset 0x%06x of device %d short %d "
                       "times: check the cable, or try a lower -b", at, range.device, reads);
        return -1;
      }
      if (begin(range, OP_VERIFY_DATA, at) != 0) return -1;
    }
    std::uint8_t* block = bytes + (at - range.first);
    for (std::size_t i = 0; i < words; ++i) {
      block[2 * i] = static_cast<std::uint8_t>(response[i + 1]);
      block[2 * i + 1] = static_cast<std::uint8_t>(response[i + 1] >> 8);
    }
    progress_advance(static_cast<std::uint32_t>(2 * words));
  }
  return 0;
}

int read_one_sum(const DeviceRange& range, std::size_t block, std::uint16_t& sum) {
  std::uint32_t offset = block_start(range, block);
  if (begin(range, OP_VERIFY_CHECKSUM, offset) != 0) return -1;
  Packet read_next = build_read_next();
  Packet response{};
  if (transact(read_next, response) != 1) return unanswered(range, offset);
  sum = response[1];
  return 0;
}
}  // namespace

DeviceRange covering_range(int device, std::uint32_t start, std::uint32_t length) {
  DeviceRange range;
  range.device = device;
  range.first = start & ~1u;
  range.end = (start + length + 1) & ~1u;
  return range;
}

std::uint16_t block_sum(const DeviceRange& range, std::size_t block, const std::uint8_t* bytes) {
  std::uint32_t from = block_start(range, block);
  return word_sum(bytes + (from - range.first), (block_end(range, block) - from) / 2);
}

int read_sums(const DeviceRange& range, std::vector<std::uint16_t>& sums) {
  sums.clear();
  if (begin(range, OP_VERIFY_CHECKSUM, range.first) != 0) return -1;
  Packet read_next = build_read_next();
  Packet response{};
  for (std::uint32_t at = range.first; at < range.end; at += CHECKSUM_BLOCK_BYTES) {
    if (transact(read_next, response) != 1) return unanswered(range, at);
    sums.push_back(response[1]);
  }
  return 0;
}

int read_block_confirmed(const DeviceRange& range, std::size_t block, std::uint8_t* bytes) {
  std::uint32_t from = block_start(range, block);
  for (int reads = 0; reads < READS_PER_BLOCK; ++reads) {
    std::uint16_t sum = 0;
    if (read_data(range, from, block_end(range, block), bytes) != 0) return -1;
    if (read_one_sum(range, block, sum) != 0) return -1;
    if (sum == block_sum(range, block, bytes)) return 0;
  }
  report_trouble("the KiB at offset 0x%06x of device %d read differently from the loader's own "
                 "sum %d times: check the cable, or try a lower -b", from, range.device,
                 READS_PER_BLOCK);
  return -1;
}

int read_range_confirmed(const DeviceRange& range, std::vector<std::uint8_t>& bytes) {
  bytes.assign(range.end - range.first, 0);
  if (read_data(range, range.first, range.end, bytes.data()) != 0) return -1;
  std::vector<std::uint16_t> sums;
  if (read_sums(range, sums) != 0) return -1;
  for (std::size_t block = 0; block < sums.size(); ++block) {
    if (sums[block] == block_sum(range, block, bytes.data())) continue;
    if (read_block_confirmed(range, block, bytes.data()) != 0) return -1;
  }
  return 0;
}

}  // namespace xarveld
