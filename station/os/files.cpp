#include "station/os/files.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

namespace xarveld::station {

namespace fs = std::filesystem;

namespace {
using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;
}  // namespace

bool file_read_whole(const std::string& path, std::string& bytes, std::string& why) {
  std::error_code code;
  if (fs::is_directory(path, code)) {
    why = "is a directory";
    return false;
  }
  File file(file_open_unshared(path, "rb"), std::fclose);
  if (!file) {
    why = std::strerror(errno);
    return false;
  }
  char chunk[65536];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) bytes.append(chunk, got);
  if (std::ferror(file.get())) {
    why = std::strerror(errno);
    return false;
  }
  return true;
}

bool file_write_read_only(const std::string& path, const std::string& bytes, std::string& why) {
  std::FILE* file = file_open_unshared(path, "wb");
  if (file == nullptr) {
    why = std::strerror(errno);
    return false;
  }
  bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() &&
                 std::fflush(file) == 0;
  if (!written) why = std::strerror(errno);
  // Closed before it is removed: Windows removes no open file.
  if (std::fclose(file) != 0 && written) {
    why = std::strerror(errno);
    written = false;
  }
  std::error_code ignored;
  if (!written) {
    fs::remove(path, ignored);
    return false;
  }
  fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read,
                  ignored);
  return true;
}

const char* network_file_system(std::uint32_t statfs_type) {
  // The magic numbers of linux/magic.h and of the file systems' own sources.
  static const struct {
    std::uint32_t type;
    const char* name;
  } NETWORK[] = {
      {0x6969, "nfs"},          {0x517B, "smb"},       {0xFE534D42, "smb2"},
      {0xFF534D42, "cifs"},     {0x65735546, "fuse"},  {0x01021997, "9p"},
      {0x5346414F, "afs"},      {0x6B414653, "afs"},   {0x00C36400, "ceph"},
      {0x73757245, "coda"},     {0x564C, "ncp"},       {0x0BD00BD0, "lustre"},
      {0x47504653, "gpfs"},     {0x786F4256, "vboxsf"},
  };
  for (const auto& known : NETWORK) {
    if (known.type == statfs_type) return known.name;
  }
  return nullptr;
}

std::string file_tail(const std::string& path, std::size_t limit) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file) return "";
  auto size = static_cast<std::size_t>(std::max<std::streamoff>(file.tellg(), 0));
  std::size_t length = std::min(size, limit);
  std::string tail(length, '\0');
  file.seekg(static_cast<std::streamoff>(size - length));
  file.read(tail.data(), static_cast<std::streamsize>(length));
  tail.resize(static_cast<std::size_t>(std::max<std::streamsize>(file.gcount(), 0)));
  return tail;
}

}  // namespace xarveld::station
