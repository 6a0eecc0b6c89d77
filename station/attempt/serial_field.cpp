#include "station/attempt/serial_field.hpp"

#include <cstdint>
#include <limits>

namespace xarveld::station {

namespace {

constexpr std::uint64_t LEDGER_MAX = std::numeric_limits<std::int64_t>::max();

// A digit's value in base 10 or 16, or -1.
int digit_value(char c, int base) {
  if (c >= '0' && c <= '9') return c - '0';
  if (base == 16 && c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (base == 16 && c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool all_digits(const std::string& text, int base) {
  for (char c : text) {
    if (digit_value(c, base) < 0) return false;
  }
  return !text.empty();
}

// Digits only, no sign, no space; false when empty, not digits or past LEDGER_MAX.
bool parse_digits(const std::string& text, int base, std::uint64_t& value) {
  if (!all_digits(text, base)) return false;
  value = 0;
  for (char c : text) {
    std::uint64_t digit = static_cast<std::uint64_t>(digit_value(c, base));
    if (value > (LEDGER_MAX - digit) / base) return false;
    value = value * base + digit;
  }
  return true;
}

// A number of the range: decimal, or hex after 0x. why says which fault it had.
bool parse_range_number(const std::string& text, std::uint64_t& value, std::string& why) {
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  std::string digits = hex ? text.substr(2) : text;
  int base = hex ? 16 : 10;
  if (parse_digits(digits, base, value)) return true;
  why = all_digits(digits, base)
            ? "a serial number is at most " + std::to_string(LEDGER_MAX) + ": " + text
            : "a serial number is decimal or 0x hex: \"" + text + "\"";
  return false;
}

}  // namespace

bool parse_serial_format(const std::string& text, SerialFormat& format, std::string& why) {
  struct Binary {
    const char* name;
    SerialEncoding encoding;
    int width;
  };
  static const Binary binaries[] = {{"u32le", SerialEncoding::U32Le, 4},
                                    {"u32be", SerialEncoding::U32Be, 4},
                                    {"u64le", SerialEncoding::U64Le, 8},
                                    {"u64be", SerialEncoding::U64Be, 8}};
  for (const Binary& binary : binaries) {
    if (text == binary.name) {
      format = {binary.encoding, binary.width};
      return true;
    }
  }
  bool decimal = text.rfind("dec:", 0) == 0;
  bool hex = text.rfind("hex:", 0) == 0;
  if (decimal || hex) {
    int max_width = decimal ? 20 : 16;
    std::string digits = text.substr(4);
    std::uint64_t width = 0;
    if (digits.size() <= 2 && parse_digits(digits, 10, width) && width >= 1 &&
        width <= static_cast<std::uint64_t>(max_width)) {
      format = {decimal ? SerialEncoding::Decimal : SerialEncoding::Hex, static_cast<int>(width)};
      return true;
    }
    why = std::string(decimal ? "dec" : "hex") + ":W takes a width of 1 to " +
          std::to_string(max_width) + " digits: " + text;
    return false;
  }
  why = "a serial format is u32le, u32be, u64le, u64be, dec:W or hex:W: " + text;
  return false;
}

std::size_t serial_field_size(const SerialFormat& format) {
  return static_cast<std::size_t>(format.width);
}

std::uint64_t serial_format_max(const SerialFormat& format) {
  switch (format.encoding) {
    case SerialEncoding::U32Le:
    case SerialEncoding::U32Be: return 0xFFFFFFFFu;
    case SerialEncoding::U64Le:
    case SerialEncoding::U64Be: return LEDGER_MAX;
    case SerialEncoding::Decimal:
    case SerialEncoding::Hex: {
      // base^width - 1, stopping before it passes what a ledger keeps.
      std::uint64_t base = format.encoding == SerialEncoding::Decimal ? 10 : 16;
      std::uint64_t power = 1;
      for (int digit = 0; digit < format.width; ++digit) {
        if (power > LEDGER_MAX / base) return LEDGER_MAX;
        power *= base;
      }
      return power - 1;
    }
  }
  return LEDGER_MAX;
}

std::vector<unsigned char> serial_field_bytes(const SerialFormat& format, std::uint64_t number) {
  if (number > serial_format_max(format)) return {};  // the caller checked the range first
  std::vector<unsigned char> bytes(serial_field_size(format));
  std::size_t size = bytes.size();
  switch (format.encoding) {
    case SerialEncoding::U32Le:
    case SerialEncoding::U64Le:
      for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<unsigned char>(number >> (8 * i));
      }
      break;
    case SerialEncoding::U32Be:
    case SerialEncoding::U64Be:
      for (std::size_t i = 0; i < size; ++i) {
        bytes[size - 1 - i] = static_cast<unsigned char>(number >> (8 * i));
      }
      break;
    case SerialEncoding::Decimal:
    case SerialEncoding::Hex: {
      std::uint64_t base = format.encoding == SerialEncoding::Decimal ? 10 : 16;
      for (std::size_t i = 0; i < size; ++i) {
        bytes[size - 1 - i] = static_cast<unsigned char>("0123456789ABCDEF"[number % base]);
        number /= base;
      }
      break;
    }
  }
  return bytes;
}

bool parse_serial_range(const std::string& text, std::uint64_t& first, std::uint64_t& last,
                        std::string& why) {
  // The dash between the two: the first after a character, so that "-5-9" has an empty FIRST.
  std::size_t dash = text.find('-', 1);
  if (text.empty() || text[0] == '-' || dash == std::string::npos || dash + 1 == text.size()) {
    why = "a serial range is FIRST-LAST: \"" + text + "\"";
    return false;
  }
  if (!parse_range_number(text.substr(0, dash), first, why) ||
      !parse_range_number(text.substr(dash + 1), last, why)) {
    return false;
  }
  if (first > last) {
    why = "the serial range " + text + " is empty: its first number is above its last";
    return false;
  }
  return true;
}

}  // namespace xarveld::station
