// The serial number's field: its bytes in every format, and the formats and ranges a line may give.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "station/attempt/serial_field.hpp"

namespace xarveld::station {
namespace {

using Bytes = std::vector<unsigned char>;
constexpr std::uint64_t TOP = 0x7FFFFFFFFFFFFFFF;

Bytes ascii(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST(SerialField, BytesOfEveryFormatAndItsLimits) {
  const std::tuple<const char*, std::uint64_t, Bytes> cases[] = {
      {"u32le", 0x12345678, {0x78, 0x56, 0x34, 0x12}}, {"u32be", 0x1234567, {1, 0x23, 0x45, 0x67}},
      {"u32le", 0xFFFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF}}, {"u32be", 0, {0, 0, 0, 0}},
      {"u64le", 0x0102030405060708, {8, 7, 6, 5, 4, 3, 2, 1}},
      {"u64be", 0x0102030405060708, {1, 2, 3, 4, 5, 6, 7, 8}},
      {"u64be", TOP, {0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {"dec:6", 4207, ascii("004207")},      {"dec:6", 999999, ascii("999999")},
      {"dec:1", 0, ascii("0")},              {"dec:20", TOP, ascii("09223372036854775807")},
      {"hex:8", 0xBEEF, ascii("0000BEEF")}, {"hex:1", 0xA, ascii("A")},
      {"hex:16", TOP, ascii("7FFFFFFFFFFFFFFF")},
  };
  for (const auto& [text, number, bytes] : cases) {
    SerialFormat format;
    std::string why;
    ASSERT_TRUE(parse_serial_format(text, format, why)) << text << ": " << why;
    EXPECT_EQ(serial_field_size(format), bytes.size()) << text;
    EXPECT_EQ(serial_field_bytes(format, number), bytes) << text << " " << number;
  }
  const std::pair<const char*, std::uint64_t> limits[] = {
      {"u32le", 0xFFFFFFFF}, {"u64be", TOP}, {"dec:1", 9}, {"dec:6", 999999},
      {"dec:18", 999999999999999999}, {"dec:19", TOP}, {"hex:2", 0xFF},
      {"hex:15", 0xFFFFFFFFFFFFFFF}, {"hex:16", TOP},
  };
  for (const auto& [text, max] : limits) {
    SerialFormat format;
    std::string why;
    ASSERT_TRUE(parse_serial_format(text, format, why)) << text;
    EXPECT_EQ(serial_format_max(format), max) << text;
    EXPECT_TRUE(serial_field_bytes(format, max + 1).empty()) << text << ": a number too large";
  }
  for (const char* text : {"", "u16le", "U32LE", "dec:", "dec:0", "dec:21", "hex:17", "hex:x",
                           "dec:+6", "dec:006", "hex:-1"}) {
    SerialFormat format;
    std::string why;
    EXPECT_FALSE(parse_serial_format(text, format, why)) << text;
    EXPECT_FALSE(why.empty()) << text;
  }
}

TEST(SerialField, RangesAreDecimalOrHexAndNeverEmpty) {
  const std::tuple<const char*, std::uint64_t, std::uint64_t> good[] = {
      {"1-1000", 1, 1000}, {"0-0", 0, 0}, {"0x100-0x1FF", 0x100, 0x1FF}, {"0XaB-255", 0xAB, 255},
      {"7-9223372036854775807", 7, TOP}, {"0x0-0x7FFFFFFFFFFFFFFF", 0, TOP},
  };
  for (const auto& [text, first, last] : good) {
    std::uint64_t parsed_first = 99;
    std::uint64_t parsed_last = 99;
    std::string why;
    ASSERT_TRUE(parse_serial_range(text, parsed_first, parsed_last, why)) << text << ": " << why;
    EXPECT_EQ(parsed_first, first) << text;
    EXPECT_EQ(parsed_last, last) << text;
  }
  const std::pair<const char*, const char*> refused[] = {
      {"", "FIRST-LAST"}, {"5", "FIRST-LAST"}, {"5-", "FIRST-LAST"}, {"-5-9", "FIRST-LAST"},
      {"9-5", "empty"}, {"0x10-0xF", "empty"}, {"1-9223372036854775808", "at most"},
      {"1-0x8000000000000000", "at most"}, {"1-99999999999999999999999", "at most"},
      {"1-2-3", "decimal or 0x hex"}, {"0x-5", "decimal or 0x hex"}, {"1-0xG", "decimal or 0x hex"},
      {" 1-5", "decimal or 0x hex"}, {"+1-5", "decimal or 0x hex"},
  };
  for (const auto& [text, reason] : refused) {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::string why;
    EXPECT_FALSE(parse_serial_range(text, first, last, why)) << text;
    EXPECT_NE(why.find(reason), std::string::npos) << text << ": " << why;
  }
}

}  // namespace
}  // namespace xarveld::station
