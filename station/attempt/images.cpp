#include "station/attempt/images.hpp"

#include <cstdio>
#include <filesystem>
#include <random>

#include "station/os/sha256.hpp"

namespace xarveld::station {

namespace fs = std::filesystem;

namespace {
// Written under a name of its own and renamed into place whole: a copy is either absent or
// complete, also when two stations make it at once.
bool write_copy(const std::string& bytes, const fs::path& copy, std::string& why) {
  fs::path partial = copy;
  partial +=
      ".partial-" + std::to_string(std::random_device{}()) + "-" + std::to_string(bytes.size());
  if (!file_write_read_only(partial.string(), bytes, why)) {
    why = partial.string() + ": " + why;
    return false;
  }
  std::error_code renamed;
  fs::rename(partial, copy, renamed);
  if (renamed) {
    std::error_code ignored;
    fs::remove(partial, ignored);
    std::string hex, unread;
    // Another station may have put the same copy in place first.
    if (sha256_file_hex(copy.string(), hex, unread) && hex == copy.stem().string()) return true;
    why = copy.string() + ": " + renamed.message();
    return false;
  }
  return true;
}
}  // namespace

bool prepare_image(const std::string& role, const std::string& given,
                   const std::string& images_directory, StationImage& image, std::string& why) {
  std::string bytes;
  if (!file_read_whole(given, bytes, why)) {
    why = "cannot read the " + role + " " + given + ": " + why;
    return false;
  }
  image.facts.role = role;
  image.facts.name = given;
  image.facts.size = bytes.size();
  if (!sha256_hex(bytes.data(), bytes.size(), image.facts.sha256, why)) {
    why = "cannot take the SHA-256 of the " + role + " " + given + ": " + why;
    return false;
  }

  std::error_code code;
  fs::create_directories(images_directory, code);
  fs::path copy = fs::absolute(fs::path(images_directory) / (image.facts.sha256 + ".bin"), code);
  image.copy = copy.string();
  std::string existing, unread;
  if (sha256_file_hex(image.copy, existing, unread) && existing == image.facts.sha256) return true;
  if (fs::exists(copy, code)) {
    // A copy that no longer holds its own hash, or cannot be read, is replaced, never burnt.
    fs::permissions(copy, fs::perms::owner_write, fs::perm_options::add, code);
    fs::remove(copy, code);
  }
  return write_copy(bytes, copy, why);
}

bool place_serial(const SerialFormat& format, std::uint64_t offset, const StationImage& image,
                  SerialPlacement& placement, std::string& why) {
  std::uint64_t size = serial_field_size(format);
  if (offset > image.facts.size || size > image.facts.size - offset) {
    // In hex as offsets in an image are mostly given (--serial-at 0x1FF00), and in decimal.
    char at[48];
    std::snprintf(at, sizeof at, "0x%llX (%llu)", static_cast<unsigned long long>(offset),
                  static_cast<unsigned long long>(offset));
    why = "the serial number's " + std::to_string(size) + " bytes at offset " + at +
          " do not fit in the image " + image.facts.name + " of " +
          std::to_string(image.facts.size) + " bytes";
    return false;
  }
  placement.numbered = true;
  placement.offset = offset;
  placement.format = format;
  placement.base_image.clear();
  std::string unread;
  if (!file_read_whole(image.copy, placement.base_image, unread) ||
      placement.base_image.size() != image.facts.size) {
    why = "cannot read " + image.copy;
    return false;
  }
  return true;
}

std::string numbered_image(const SerialPlacement& placement, std::uint64_t number) {
  std::string image = placement.base_image;
  std::vector<unsigned char> field = serial_field_bytes(placement.format, number);
  for (std::size_t i = 0; i < field.size() && placement.offset + i < image.size(); ++i) {
    image[placement.offset + i] = static_cast<char>(field[i]);
  }
  return image;
}

bool write_numbered_image(const SerialPlacement& placement, std::uint64_t number,
                          const std::string& directory, std::string& path, std::string& sha256,
                          std::string& why) {
  std::string bytes = numbered_image(placement, number);
  if (!sha256_hex(bytes.data(), bytes.size(), sha256, why)) {
    why = "cannot take the SHA-256 of the numbered image: " + why;
    return false;
  }
  std::error_code code;
  fs::path name = fs::path(directory) / ("image-" + std::to_string(number) + ".bin");
  fs::path file = fs::absolute(name, code);
  path = file.string();
  if (!file_write_read_only(path, bytes, why)) {
    why = "cannot write " + path + ": " + why;
    return false;
  }
  return true;
}

}  // namespace xarveld::station
