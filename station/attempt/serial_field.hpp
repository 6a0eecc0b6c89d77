#pragma once
// The serial number's field in the image: where it goes and how it is written. Pure.
#include <cstdint>
#include <string>
#include <vector>

namespace xarveld::station {

enum class SerialEncoding { U32Le, U32Be, U64Le, U64Be, Decimal, Hex };

struct SerialFormat {
  SerialEncoding encoding = SerialEncoding::U32Le;
  int width = 4;  // bytes for the binary forms; digits for dec:W and hex:W
};

// "u32le", "u32be", "u64le", "u64be", "dec:W", "hex:W" (W from 1 to 20 for dec, 1 to 16 for
// hex). Returns false with why.
[[nodiscard]] bool parse_serial_format(const std::string& text, SerialFormat& format,
                                       std::string& why);

// The field's length in bytes.
std::size_t serial_field_size(const SerialFormat& format);

// The largest number the format can hold (capped at INT64_MAX, what a ledger keeps).
std::uint64_t serial_format_max(const SerialFormat& format);

// The field's bytes for number: little- or big-endian binary, or ASCII decimal zero-padded, or
// ASCII upper-case hex zero-padded. The number must fit (serial_format_max).
std::vector<unsigned char> serial_field_bytes(const SerialFormat& format, std::uint64_t number);

// "FIRST-LAST", each decimal or 0x hex. Returns false with why (empty, inverted, too large).
[[nodiscard]] bool parse_serial_range(const std::string& text, std::uint64_t& first,
                                      std::uint64_t& last, std::string& why);

}  // namespace xarveld::station
