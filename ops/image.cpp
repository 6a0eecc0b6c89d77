#include "ops/image.hpp"

#include <cstdio>
#include <cstring>
#include <new>

#include "common/console.hpp"
#include "common/process_exit.hpp"
#include "link/packet.hpp"

namespace xarveld {

namespace {
[[noreturn]] void fail_to_load(const std::string& path) {
  console_printf("Could not open bin file: %s\n", path.c_str());
  end_process(1);
}
}  // namespace

Image load_image(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) fail_to_load(path);
  Image image;
  // Left uninitialised on purpose: the pages the read does not reach are never touched.
  image.bytes.reset(new (std::nothrow) std::uint8_t[IMAGE_CAPACITY]);
  if (!image.bytes) {
    std::fclose(file);
    fail_to_load(path);
  }
  std::size_t size = std::fread(image.bytes.get(), 1, IMAGE_CAPACITY, file);
  bool read_failed = std::ferror(file) != 0;
  std::fclose(file);
  if (read_failed) fail_to_load(path);
  image.size = static_cast<std::uint32_t>(size);

  // The last block of programming carries bytes past the end of the file: send flash's erased
  // state, never leftover memory.
  std::size_t padded = (size + DATA_BLOCK_BYTES - 1) / DATA_BLOCK_BYTES * DATA_BLOCK_BYTES;
  std::memset(image.bytes.get() + size, 0xFF, padded - size);

  console_printf("\nLoaded Bin file: %s\nSize = 0x%08x Bytes\n", path.c_str(), image.size);
  return image;
}

}  // namespace xarveld
