#pragma once
// Intel HEX text of bytes that lie at device offsets from start on: 16 data bytes a record, an
// extended linear address record before the first record and at every 64-KiB boundary, so any
// reader puts each byte back at its own offset; then the end-of-file record. Lines end in LF.
#include <cstddef>
#include <cstdint>
#include <string>

namespace xarveld {

std::string intel_hex(const std::uint8_t* bytes, std::size_t length, std::uint32_t start);

}  // namespace xarveld
