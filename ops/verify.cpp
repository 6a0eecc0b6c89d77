#include "ops/verify.hpp"

#include "common/console.hpp"
#include "link/packet.hpp"
#include "link/transaction.hpp"
#include "ops/explain.hpp"
#include "ops/image.hpp"
#include "trace/trace_log.hpp"

namespace xarveld {

namespace {
constexpr int COMPARISONS_PER_BLOCK = 3;

bool checksum_matches(const std::uint8_t* block, std::size_t words, const Packet& response) {
  std::uint16_t sum = word_sum(block, words);
  if (sum == response[1]) return true;
  console_printf("response[1] = %04x, checksum = %04x \n", response[1], sum);
  console_printf("\nCommunication Error, Try again.....\n");
  return false;
}

// An answer with fewer payload words than the block needs is a mismatch: the words past its end
// would be those of an earlier answer.
bool data_matches(const std::uint8_t* block, std::size_t words, const Packet& response) {
  std::size_t payload = packet_word_count(response[0]) - 2;
  bool matches = payload >= words;
  for (std::size_t i = 0; matches && i < words; ++i) {
    std::uint16_t expected = static_cast<std::uint16_t>(block[2 * i] | block[2 * i + 1] << 8);
    matches = response[i + 1] == expected;
  }
  if (!matches) {
    console_printf("\nCommunication Error, response = %04x,%04x,%04x,Try again.....\n", response[0],
                   response[1], response[2]);
  }
  return matches;
}

int unanswered_read(int device, std::uint32_t offset) {
  explain_failure("the loader did not answer the read of device %d at offset 0x%06x", device,
                  offset);
  return -1;
}
}  // namespace

int verify_image(const std::string& path, int device, bool checksum_mode) {
  Image image = load_image(path);
  trace_verify_start_record();
  if (!is_flash_device(device)) {
    console_printf("Invalid device #: %d\n", device);
    explain_failure("device %d is not a flash device: use 1 to 5 or 7", device);
    return -1;
  }
  console_printf("Verifying data\n");

  std::uint16_t operation = checksum_mode ? OP_VERIFY_CHECKSUM : OP_VERIFY_DATA;
  std::uint16_t device_word = static_cast<std::uint16_t>(device);
  std::uint32_t block_bytes = checksum_mode ? CHECKSUM_BLOCK_BYTES : DATA_BLOCK_BYTES;
  Packet begin = build_begin(operation, device_word, 0, image.size);
  Packet response{};
  if (transact(begin, response) != 1) {
    explain_failure("the loader did not answer the announcement of the verification of device %d",
                    device);
    return -1;
  }

  for (std::uint32_t offset = 0; offset < image.size; offset += block_bytes) {
    if (offset % 1024 == 0) console_printf("\r%06x", offset);
    Packet read_next = build_read_next();
    if (transact(read_next, response) != 1) return unanswered_read(device, offset);
    // An odd last byte is never compared.
    std::size_t words = (image.size - offset < block_bytes ? image.size - offset : block_bytes) / 2;
    const std::uint8_t* block = image.bytes.get() + offset;
    for (int comparisons_left = COMPARISONS_PER_BLOCK;;) {
      bool matched = checksum_mode ? checksum_matches(block, words, response)
                                   : data_matches(block, words, response);
      if (matched) break;
      // Read the block again from its offset; after the third mismatch this still happens, and
      // only then is the failure reported.
      Packet resync = build_begin(operation, device_word, offset, image.size);
      if (transact(resync, response) != 1 || transact(read_next, response) != 1) {
        return unanswered_read(device, offset);
      }
      if (--comparisons_left == 0) {
        console_printf("\nVerification failure at %05x\n", offset);
        explain_failure("device %d does not hold %s: the block at 0x%05x differed on %d reads",
                        device, path.c_str(), offset, COMPARISONS_PER_BLOCK);
        return -1;
      }
    }
  }
  console_printf("\rVerification Successful\n");
  trace_verify_complete_record();
  return 0;
}

}  // namespace xarveld
