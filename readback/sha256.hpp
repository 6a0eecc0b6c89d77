#pragma once
// SHA-256, for the one result line a script checks a read image by.
#include <cstddef>
#include <cstdint>
#include <string>

namespace xarveld {

// 64 lowercase hex digits.
std::string sha256_hex(const std::uint8_t* bytes, std::size_t length);

}  // namespace xarveld
