#pragma once
#include <string>

namespace xarveld {

// Reads the flash device back and compares it with the image: word for word in 32-byte blocks,
// or, in checksum mode, by the 16-bit sum of each 1-KiB block. A mismatching block is read again
// from its offset, three comparisons at most. Returns 0 on success, -1 on failure.
int verify_image(const std::string& path, int device, bool checksum_mode);

}  // namespace xarveld
