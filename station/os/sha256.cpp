#include "station/os/sha256.hpp"

namespace xarveld::station {

std::string digest_hex(const unsigned char* digest) {
  static const char HEX[] = "0123456789abcdef";
  std::string hex;
  for (int i = 0; i < 32; ++i) {
    hex += HEX[digest[i] >> 4];
    hex += HEX[digest[i] & 0x0f];
  }
  return hex;
}

}  // namespace xarveld::station
