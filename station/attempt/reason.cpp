#include "station/attempt/reason.hpp"

namespace xarveld::station {

namespace {
constexpr std::string_view TOOL_PREFIX = "xarveld: ";

// Where the escape sequence at bytes[at] (an ESC) ends: CSI up to its final byte, OSC up to BEL
// or ST, any other up to the byte after the ESC.
std::size_t escape_end(std::string_view bytes, std::size_t at) {
  std::size_t next = at + 1;
  if (next >= bytes.size()) return bytes.size();
  if (bytes[next] == '[') {
    for (std::size_t i = next + 1; i < bytes.size(); ++i) {
      auto c = static_cast<unsigned char>(bytes[i]);
      if (c >= 0x40 && c <= 0x7e) return i + 1;
      if (c < 0x20 || c > 0x3f) return i;  // not a CSI byte: the sequence was broken off
    }
    return bytes.size();
  }
  if (bytes[next] == ']') {
    for (std::size_t i = next + 1; i < bytes.size(); ++i) {
      if (bytes[i] == '\a') return i + 1;
      if (bytes[i] == '\x1b' && i + 1 < bytes.size() && bytes[i + 1] == '\\') return i + 2;
    }
    return bytes.size();
  }
  return next + 1;
}

std::string trimmed(const std::string& line) {
  std::size_t first = line.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return line.substr(first, line.find_last_not_of(' ') - first + 1);
}
}  // namespace

std::string failure_reason(std::string_view error_output) {
  std::string line, last;
  for (std::size_t i = 0; i < error_output.size();) {
    char c = error_output[i];
    if (c == '\x1b') {
      i = escape_end(error_output, i);
      continue;
    }
    ++i;
    if (c == '\n' || c == '\r') {
      std::string text = trimmed(line);
      if (!text.empty()) last = text;
      line.clear();
    } else if (c == '\t') {
      line += ' ';
    } else if (static_cast<unsigned char>(c) >= 0x20 && c != '\x7f') {
      line += c;
    }
  }
  std::string text = trimmed(line);
  if (!text.empty()) last = text;
  if (last.rfind(TOOL_PREFIX, 0) == 0) last = trimmed(last.substr(TOOL_PREFIX.size()));
  if (last.size() > REASON_LIMIT) {
    std::size_t cut = REASON_LIMIT - 3;
    while (cut > 0 && (static_cast<unsigned char>(last[cut]) & 0xc0) == 0x80) --cut;
    last = last.substr(0, cut) + "...";
  }
  return last;
}

std::string with_port_named(std::string_view text, const std::string& bound,
                            const std::string& port) {
  std::string named;
  std::size_t from = 0;
  for (std::size_t at = bound.empty() ? std::string_view::npos : text.find(bound);
       at != std::string_view::npos; at = text.find(bound, from)) {
    named.append(text.substr(from, at - from));
    named += port;
    from = at + bound.size();
  }
  named.append(text.substr(from));
  return named;
}

void keep_reason_source(std::string& tail, std::string_view bytes) {
  tail.append(bytes);
  if (tail.size() > REASON_SOURCE_LIMIT) tail.erase(0, tail.size() - REASON_SOURCE_LIMIT);
}

}  // namespace xarveld::station
