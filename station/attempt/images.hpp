#pragma once
// The image and the driver, read once at the start: each is hashed and written once, read-only,
// to runs/images/SHA256.bin, and every run burns that copy, so a file changed on disk during a
// shift cannot make the record lie.
#include <string>
#include <vector>

#include "station/attempt/record.hpp"

namespace xarveld::station {

struct StationImage {
  ImageFacts facts;
  std::string copy;  // the absolute name of the read-only copy
};

// Reads the file named given, and makes or finds its copy in images_directory. Returns 1, or 0
// with one line saying why in error.
int prepare_image(const std::string& role, const std::string& given,
                  const std::string& images_directory, StationImage& image, std::string& error);

}  // namespace xarveld::station
