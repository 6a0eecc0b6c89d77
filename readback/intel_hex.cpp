#include "readback/intel_hex.hpp"

#include <cstdio>

namespace xarveld {

namespace {
constexpr std::size_t RECORD_BYTES = 16;

void append_record(std::string& text, std::uint16_t address, std::uint8_t type,
                   const std::uint8_t* data, std::size_t count) {
  char piece[3];
  unsigned sum = static_cast<unsigned>(count) + (address >> 8) + (address & 0xFF) + type;
  char head[10];
  std::snprintf(head, sizeof head, ":%02X%04X%02X", static_cast<unsigned>(count), address, type);
  text += head;
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(piece, sizeof piece, "%02X", data[i]);
    text += piece;
    sum += data[i];
  }
  std::snprintf(piece, sizeof piece, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
  text += piece;
  text += '\n';
}
}  // namespace

std::string intel_hex(const std::uint8_t* bytes, std::size_t length, std::uint32_t start) {
  std::string text;
  std::size_t done = 0;
  bool first = true;
  while (done < length) {
    std::uint32_t address = start + static_cast<std::uint32_t>(done);
    if (first || (address & 0xFFFF) == 0) {
      std::uint8_t upper[2] = {static_cast<std::uint8_t>(address >> 24),
                               static_cast<std::uint8_t>(address >> 16)};
      append_record(text, 0, 0x04, upper, 2);
      first = false;
    }
    // A record never runs over a 64-KiB boundary: its address has 16 bits only.
    std::size_t count = RECORD_BYTES - address % RECORD_BYTES;
    if (count > length - done) count = length - done;
    append_record(text, static_cast<std::uint16_t>(address), 0x00, bytes + done, count);
    done += count;
  }
  append_record(text, 0, 0x01, nullptr, 0);
  return text;
}

}  // namespace xarveld
