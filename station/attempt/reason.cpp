#include "station/attempt/reason.hpp"

#include "station/attempt/plain_text.hpp"

namespace xarveld::station {

namespace {
constexpr std::string_view TOOL_PREFIX = "xarveld: ";

std::string trimmed(const std::string& line) {
  std::size_t first = line.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return line.substr(first, line.find_last_not_of(' ') - first + 1);
}
}  // namespace

std::string failure_reason(std::string_view error_output) {
  std::string line, last;
  auto end_line = [&] {
    std::string text = trimmed(plain_text(line));
    if (!text.empty()) last = text;
    line.clear();
  };
  for (std::size_t i = 0; i < error_output.size();) {
    char c = error_output[i];
    if (c == '\x1b') {
      i = escape_end(error_output, i);  // an OSC's title may hold a line end
      continue;
    }
    ++i;
    if (c == '\n' || c == '\r') {
      end_line();
    } else {
      line += c;
    }
  }
  end_line();
  if (last.rfind(TOOL_PREFIX, 0) == 0) last = trimmed(last.substr(TOOL_PREFIX.size()));
  return cut_text(last, REASON_LIMIT);
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
