#include "common/crlf_output.hpp"

#include <cstring>
#include <string>

namespace xarveld {

void write_crlf(std::FILE* stream, const char* bytes, std::size_t length) {
  char local[1024];
  std::string large;
  char* out = local;
  // Worst case every byte is a line feed.
  if (length * 2 > sizeof local) {
    large.resize(length * 2);
    out = large.data();
  }
  std::size_t used = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (bytes[i] == '\n') out[used++] = '\r';
    out[used++] = bytes[i];
  }
  std::fwrite(out, 1, used, stream);
}

void vprint_crlf(std::FILE* stream, const char* format, std::va_list args) {
  char local[512];
  std::va_list again;
  va_copy(again, args);
  int length = std::vsnprintf(local, sizeof local, format, args);
  if (length < 0) {
    va_end(again);
    return;
  }
  if (static_cast<std::size_t>(length) < sizeof local) {
    write_crlf(stream, local, static_cast<std::size_t>(length));
  } else {
    // A long file name in a message: format again into a buffer of the full size.
    std::string large(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(large.data(), large.size(), format, again);
    write_crlf(stream, large.data(), static_cast<std::size_t>(length));
  }
  va_end(again);
}

}  // namespace xarveld
