#pragma once
// Text written by the tool, to the console or to log.txt, has every line feed as CR LF on every
// platform; the streams are binary, so the translation is ours and the bytes are identical everywhere.
#include <cstdarg>
#include <cstddef>
#include <cstdio>

namespace xarveld {

// Writes length bytes to stream, each 0x0A as 0x0D 0x0A, every other byte unchanged, in one fwrite.
void write_crlf(std::FILE* stream, const char* bytes, std::size_t length);

// printf-style formatting, then write_crlf.
void vprint_crlf(std::FILE* stream, const char* format, std::va_list args);

}  // namespace xarveld
