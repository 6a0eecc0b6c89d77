#include "station/attempt/images.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>

#include "station/os/child_process.hpp"
#include "station/os/sha256.hpp"

namespace xarveld::station {

namespace fs = std::filesystem;

namespace {
using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

int read_whole(const std::string& path, std::string& bytes, std::string& error) {
  std::error_code code;
  if (fs::is_directory(path, code)) {
    error = "is a directory";
    return 0;
  }
  File file(file_open_unshared(path, "rb"), std::fclose);
  if (!file) {
    error = std::strerror(errno);
    return 0;
  }
  char chunk[65536];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) bytes.append(chunk, got);
  if (std::ferror(file.get())) {
    error = std::strerror(errno);
    return 0;
  }
  return 1;
}

// Written under a name of its own and renamed into place whole, then made read-only: a copy
// is either absent or complete, also when two stations make it at once.
int write_copy(const std::string& bytes, const fs::path& copy, std::string& error) {
  fs::path partial = copy;
  partial += ".partial-" + std::to_string(std::random_device{}()) + "-" + std::to_string(bytes.size());
  {
    File file(file_open_unshared(partial.string(), "wb"), std::fclose);
    if (!file || std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size() ||
        std::fflush(file.get()) != 0) {
      error = partial.string() + ": " + std::strerror(errno);
      file.reset();  // closed first: Windows removes no open file
      std::error_code ignored;
      fs::remove(partial, ignored);
      return 0;
    }
  }
  std::error_code ignored;
  fs::permissions(partial, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read,
                  ignored);
  std::error_code renamed;
  fs::rename(partial, copy, renamed);
  if (renamed) {
    fs::remove(partial, ignored);
    std::string hex, why;
    // Another station may have put the same copy in place first.
    int found = sha256_file_hex(copy.string(), hex, why);
    if (found == SHA256_DONE && hex == copy.stem().string()) return 1;
    error = found == SHA256_LIBRARY_FAILED ? why : copy.string() + ": " + renamed.message();
    return 0;
  }
  return 1;
}
}  // namespace

int prepare_image(const std::string& role, const std::string& given,
                  const std::string& images_directory, StationImage& image, std::string& error) {
  std::string bytes;
  std::string why;
  if (!read_whole(given, bytes, why)) {
    error = "cannot read the " + role + " " + given + ": " + why;
    return 0;
  }
  image.facts.role = role;
  image.facts.name = given;
  image.facts.size = bytes.size();
  if (sha256_hex(bytes.data(), bytes.size(), image.facts.sha256, why) != SHA256_DONE) {
    error = "cannot take the SHA-256 of the " + role + " " + given + ": " + why;
    return 0;
  }

  std::error_code code;
  fs::create_directories(images_directory, code);
  fs::path copy = fs::absolute(fs::path(images_directory) / (image.facts.sha256 + ".bin"), code);
  image.copy = copy.string();
  std::string existing;
  int found = sha256_file_hex(image.copy, existing, why);
  if (found == SHA256_LIBRARY_FAILED) {
    error = "cannot take the SHA-256 of " + image.copy + ": " + why;
    return 0;
  }
  if (found == SHA256_DONE && existing == image.facts.sha256) return 1;
  if (fs::exists(copy, code)) {
    // A copy that no longer holds its own hash is replaced, never burnt.
    fs::permissions(copy, fs::perms::owner_write, fs::perm_options::add, code);
    fs::remove(copy, code);
  }
  return write_copy(bytes, copy, error);
}

}  // namespace xarveld::station
