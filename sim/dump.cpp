#include "sim/dump.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace xarveld::sim {

std::string dump_file_name(std::uint16_t device) {
  if (device == SRAM_DEVICE) return "sram.bin";
  return "device" + std::to_string(device) + ".bin";
}

int write_dumps(const Memory& memory, const std::string& directory) {
  if (mkdir(directory.c_str(), 0777) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "xarveld-sim: cannot create %s: %s\n", directory.c_str(),
                 std::strerror(errno));
    return 0;
  }
  int result = 1;
  for (std::uint16_t device = 0; device < DEVICE_COUNT; ++device) {
    if (!device_written(memory, device)) continue;
    const Device& source = memory.devices[device];
    std::string path = directory + "/" + dump_file_name(device);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    bool written = file != nullptr &&
                   std::fwrite(source.bytes.data(), 1, source.written_end, file) ==
                       source.written_end;
    if (file != nullptr && std::fclose(file) != 0) written = false;
    if (!written) {
      std::fprintf(stderr, "xarveld-sim: cannot write %s\n", path.c_str());
      result = 0;
    }
  }
  return result;
}

int load_device(Memory& memory, std::uint16_t device, const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  // One byte more than a device holds tells a file that does not fit.
  std::vector<std::uint8_t> bytes(DEVICE_BYTES + 1);
  std::size_t count = file != nullptr ? std::fread(bytes.data(), 1, bytes.size(), file) : 0;
  bool read = file != nullptr && !std::ferror(file) && count <= DEVICE_BYTES;
  if (file != nullptr) std::fclose(file);
  if (!read) {
    std::fprintf(stderr, "xarveld-sim: cannot load %s into device %u\n", path.c_str(), device);
    return 0;
  }
  memory_write(memory, device, 0, bytes.data(), count);
  return 1;
}

}  // namespace xarveld::sim
