#include "ops/image.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>

#include "common/console.hpp"
#include "common/diagnostic.hpp"
#include "common/process_exit.hpp"
#include "link/packet.hpp"

namespace xarveld {

namespace {
[[noreturn]] void fail_to_load(const std::string& path, const char* reason) {
  console_printf("Could not open bin file: %s\n", path.c_str());
  diagnose("%s: %s", path.c_str(), reason);
  end_process(trouble_status());
}

// Only part of such a file would reach the device, and the run would report it burnt and
// verified: it is refused before anything of the operation is sent.
[[noreturn]] void refuse_too_large(const std::string& path) {
  console_printf("Bin file too large: %s\n", path.c_str());
  std::error_code error;
  std::uintmax_t size = std::filesystem::file_size(path, error);
  if (error) {
    diagnose("%s: more than %u bytes, the 8 MiB an image may hold", path.c_str(), IMAGE_CAPACITY);
  } else {
    diagnose("%s: %llu bytes, more than the 8 MiB (%u bytes) an image may hold", path.c_str(),
             static_cast<unsigned long long>(size), IMAGE_CAPACITY);
  }
  end_process(trouble_status());
}
}  // namespace

Image load_image(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) fail_to_load(path, std::strerror(errno));
  Image image;
  // Left uninitialised on purpose: the pages the read does not reach are never touched.
  image.bytes.reset(new (std::nothrow) std::uint8_t[IMAGE_CAPACITY]);
  if (!image.bytes) {
    std::fclose(file);
    fail_to_load(path, "no memory for its 8-MiB image");
  }
  errno = 0;
  std::size_t size = std::fread(image.bytes.get(), 1, IMAGE_CAPACITY, file);
  bool read_failed = std::ferror(file) != 0;
  int read_error = errno;
  bool more_to_come = !read_failed && size == IMAGE_CAPACITY && std::fgetc(file) != EOF;
  read_failed = read_failed || std::ferror(file) != 0;
  std::fclose(file);
  if (read_failed) fail_to_load(path, read_error != 0 ? std::strerror(read_error) : "read error");
  if (more_to_come) refuse_too_large(path);
  image.size = static_cast<std::uint32_t>(size);

  // The last block of programming carries bytes past the end of the file: send flash's erased
  // state, never leftover memory.
  std::size_t padded = (size + DATA_BLOCK_BYTES - 1) / DATA_BLOCK_BYTES * DATA_BLOCK_BYTES;
  std::memset(image.bytes.get() + size, 0xFF, padded - size);

  console_printf("\nLoaded Bin file: %s\nSize = 0x%08x Bytes\n", path.c_str(), image.size);
  return image;
}

}  // namespace xarveld
