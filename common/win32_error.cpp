#include "common/win32_error.hpp"

#include <windows.h>

namespace xarveld {

std::string win32_error_text(unsigned long error) {
  char text[256] = "";
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, error, 0, text, sizeof text, nullptr);
  std::string words(text, length);
  // The system ends its text with a period and CR LF; the help line goes on after it.
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' ||
                            words.back() == ' ' || words.back() == '.')) {
    words.pop_back();
  }
  if (words.empty()) words = "error " + std::to_string(error);
  return words;
}

}  // namespace xarveld
