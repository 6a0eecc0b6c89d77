#pragma once
// The image and the driver, read once at the start: each is hashed and written once, read-only,
// to runs/images/SHA256.bin, and every run burns that copy, so a file changed on disk during a
// shift cannot make the record lie. With serial numbers, each board burns an image of its own:
// the copy with the board's number in place, written into its attempt's directory.
#include <cstdint>
#include <string>

#include "station/attempt/serial_field.hpp"
#include "station/os/files.hpp"

namespace xarveld::station {

struct StationImage {
  ImageFacts facts;
  std::string copy;  // the absolute name of the read-only copy
};

// Reads the file named given, and makes or finds its copy in images_directory. False with one
// line saying why.
[[nodiscard]] bool prepare_image(const std::string& role, const std::string& given,
                                 const std::string& images_directory, StationImage& image,
                                 std::string& why);

// Where each board's number goes, and the image it goes into.
struct SerialPlacement {
  bool numbered = false;
  std::uint64_t offset = 0;
  SerialFormat format;
  std::string base_image;  // the image's bytes, as its read-only copy holds them
};

// Places a field of format at offset of the image: false with one line saying why when it does
// not fit inside the image, or the copy cannot be read.
[[nodiscard]] bool place_serial(const SerialFormat& format, std::uint64_t offset,
                                const StationImage& image, SerialPlacement& placement,
                                std::string& why);

// The image with number written at the placement's offset. Pure.
std::string numbered_image(const SerialPlacement& placement, std::uint64_t number);

// Writes the numbered image into directory as image-NUMBER.bin, read-only, and takes its
// SHA-256: its absolute name in path. False with why.
[[nodiscard]] bool write_numbered_image(const SerialPlacement& placement, std::uint64_t number,
                                        const std::string& directory, std::string& path,
                                        std::string& sha256, std::string& why);

}  // namespace xarveld::station
