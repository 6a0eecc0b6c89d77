#pragma once
// Cutting a fuzz input into the pieces that successive port reads would return. A piece is a
// length byte L and then L bytes; L = 0xFF instead announces a two-byte little-endian length, up
// to a whole read of 1024 bytes. The end of the input cuts the last piece short.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "link/serial_port.hpp"

namespace xarveld::fuzz {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t LONG_PIECE = 0xFF;

// The piece whose length byte has just been read from data[at - 1]; moves at past it.
inline Bytes take_piece(std::uint8_t length_byte, const std::uint8_t* data, std::size_t size,
                        std::size_t& at) {
  std::size_t length = length_byte;
  if (length_byte == LONG_PIECE) {
    std::size_t low = at < size ? data[at++] : 0;
    std::size_t high = at < size ? data[at++] : 0;
    length = (low | high << 8) % (SERIAL_READ_SIZE + 1);
  }
  if (length > size - at) length = size - at;
  Bytes piece(data + at, data + at + length);
  at += length;
  return piece;
}

}  // namespace xarveld::fuzz
