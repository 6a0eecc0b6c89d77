#include "ops/program.hpp"

#include "common/console.hpp"
#include "link/connection.hpp"
#include "link/packet.hpp"
#include "link/transaction.hpp"
#include "ops/explain.hpp"
#include "ops/image.hpp"

namespace xarveld {

namespace {
constexpr int BLOCK_ATTEMPTS = 3;

// Sends the image from offset start in 32-byte CMD_DATA blocks, a "." per KiB. A block that fails
// is announced again from its offset (the resync) and sent again, three times at most.
int send_blocks(const Image& image, std::uint32_t start, std::uint16_t operation,
                std::uint16_t device) {
  Packet response{};
  for (std::uint32_t offset = start; offset < image.size; offset += DATA_BLOCK_BYTES) {
    if (offset % 1024 == 0) console_printf(".");
    Packet data = build_data(image.bytes.get() + offset);
    for (int attempts_left = BLOCK_ATTEMPTS;;) {
      if (transact(data, response) == 1) break;
      Packet resync = build_begin(operation, device, offset, image.size);
      if (transact(resync, response) != 1 || --attempts_left == 0) {
        explain_failure("the loader did not take the block at offset 0x%06x", offset);
        return -1;
      }
    }
  }
  return 0;
}

int load_driver(const Image& image) {
  connect_target();
  console_printf("\nLoading driver to SRAM.");
  // The opening announces the bytes to come (size - 2048) where every resync announces the
  // image's size: the loader takes it so, and the difference is kept. A driver of 2048 bytes or
  // less announces nothing to come, not a size wrapped below zero.
  std::uint32_t limit = image.size > DRIVER_SEND_START ? image.size - DRIVER_SEND_START : 0;
  Packet begin = build_begin(OP_LOAD_SRAM, DRIVER_DEVICE, DRIVER_SEND_START, limit);
  Packet response{};
  if (transact(begin, response) != 1) {
    explain_failure("the loader did not answer the announcement of the driver load");
    return -1;
  }
  if (send_blocks(image, DRIVER_SEND_START, OP_LOAD_SRAM, DRIVER_DEVICE) != 0) return -1;
  console_printf("Done!");
  return 0;
}

int burn_flash(const Image& image, int device) {
  console_printf("\nBurning flash.");
  std::uint16_t device_word = static_cast<std::uint16_t>(device);
  Packet begin = build_begin(OP_PROGRAM_FLASH, device_word, 0, image.size);
  Packet response{};
  if (transact(begin, response) != 1) {
    explain_failure("the loader did not answer the announcement of device %d", device);
    return -1;
  }
  if (packet_command_code(response[0]) == RESPONSE_REFUSED) {
    explain_failure("the loader refused to program device %d", device);
    return -1;
  }
  if (send_blocks(image, 0, OP_PROGRAM_FLASH, device_word) != 0) return -1;
  console_printf("Done!\n");
  return 0;
}
}  // namespace

int program_image(const std::string& path, int device) {
  Image image = load_image(path);
  if (device == DRIVER_DEVICE) return load_driver(image);
  if (is_flash_device(device)) return burn_flash(image, device);
  console_printf("Invalid device #: %d\n", device);
  explain_failure("device %d is not a flash device: use 1 to 5 or 7", device);
  return -1;
}

}  // namespace xarveld
