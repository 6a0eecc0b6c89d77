#include "common/console.hpp"

#include <cstdarg>

#include "common/console_platform.hpp"
#include "common/crlf_output.hpp"

namespace xarveld {

namespace {
std::FILE* console_stream = nullptr;

std::FILE* current_stream() { return console_stream != nullptr ? console_stream : stdout; }
}  // namespace

void console_init() {
  stream_set_binary(stdout);
  if (stream_is_terminal(stdout)) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
  } else {
    // The C library's own buffer; it ignores a size asked for without a buffer of ours.
    std::setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
  }
}

void console_printf(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  vprint_crlf(current_stream(), format, args);
  va_end(args);
}

void console_flush() { std::fflush(current_stream()); }

void console_set_stream(std::FILE* stream) { console_stream = stream; }

}  // namespace xarveld
