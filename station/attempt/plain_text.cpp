#include "station/attempt/plain_text.hpp"

namespace xarveld::station {

namespace {
constexpr char ESC = '\x1b';
constexpr char32_t C1_CSI = 0x9b;  // the one-character forms of ESC [ and ESC ]
constexpr char32_t C1_OSC = 0x9d;

bool continuation(unsigned char c) { return (c & 0xc0) == 0x80; }

// The code point of the UTF-8 sequence at text[at] and its length, or 0 for bytes that are not
// one: overlong forms, surrogates and what lies past U+10FFFF included.
std::size_t utf8_at(std::string_view text, std::size_t at, char32_t& code) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  unsigned char lead = byte(0);
  std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc2 ? 2 : 0;
  if (length == 0 || lead > 0xf4 || at + length > text.size()) return 0;
  code = lead & (0x7f >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if (!continuation(byte(i))) return 0;
    code = (code << 6) | (byte(i) & 0x3f);
  }
  bool shortest = length == 2 || (length == 3 && code >= 0x800) || (length == 4 && code >= 0x10000);
  if (!shortest || (code >= 0xd800 && code <= 0xdfff) || code > 0x10ffff) return 0;
  return length;
}

// Where a C1 CSI's or OSC's parameters end, from the byte after it.
std::size_t c1_sequence_end(std::string_view text, std::size_t from, char32_t code) {
  for (std::size_t i = from; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (code == C1_CSI) {
      if (c >= 0x40 && c <= 0x7e) return i + 1;
      if (c < 0x20 || c > 0x3f) return i;
    } else if (c == '\a' || c == ESC || c >= 0x80) {
      return c == '\a' ? i + 1 : i;
    }
  }
  return text.size();
}
}  // namespace

std::size_t escape_end(std::string_view text, std::size_t at) {
  std::size_t next = at + 1;
  if (next >= text.size()) return text.size();
  if (text[next] == '[') return c1_sequence_end(text, next + 1, C1_CSI);
  if (text[next] == ']') {
    for (std::size_t i = next + 1; i < text.size(); ++i) {
      if (text[i] == '\a') return i + 1;
      if (text[i] == ESC && i + 1 < text.size() && text[i + 1] == '\\') return i + 2;
    }
    return text.size();
  }
  return next + 1;
}

std::string plain_text(std::string_view text) {
  std::string plain;
  plain.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c == ESC) {
      i = escape_end(text, i);
    } else if (c == '\t') {
      plain += ' ';
      ++i;
    } else if (c < 0x20 || c == 0x7f) {
      ++i;
    } else if (c < 0x80) {
      plain += static_cast<char>(c);
      ++i;
    } else {
      char32_t code = 0;
      std::size_t length = utf8_at(text, i, code);
      if (length == 0) {
        ++i;  // not UTF-8: the byte alone is left out, and what follows is read afresh
      } else if (code == C1_CSI || code == C1_OSC) {
        i = c1_sequence_end(text, i + length, code);
      } else {
        if (code >= 0xa0) plain.append(text.substr(i, length));
        i += length;
      }
    }
  }
  return plain;
}

std::string cut_text(std::string text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t cut = limit >= 3 ? limit - 3 : 0;
  while (cut > 0 && continuation(static_cast<unsigned char>(text[cut]))) --cut;
  return text.substr(0, cut) + "...";
}

std::string shown_text(std::string_view text) {
  return cut_text(plain_text(text), SHOWN_TEXT_LIMIT);
}

}  // namespace xarveld::station
