#include "common/diagnostic.hpp"

#include <cstdio>

#include "common/console_platform.hpp"

namespace xarveld {

void vdiagnose(const char* format, std::va_list args) {
  static const bool to_terminal = stream_is_terminal(stderr);
  if (!to_terminal) return;
  char line[1024];
  std::vsnprintf(line, sizeof line, format, args);
  std::fprintf(stderr, "xarveld: %s\n", line);
  std::fflush(stderr);
}

void diagnose(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  vdiagnose(format, args);
  va_end(args);
}

}  // namespace xarveld
