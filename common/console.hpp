#pragma once
// Every message for the user goes to standard output through here; nothing goes to standard error.
#include <cstdio>

namespace xarveld {

// Puts standard output in binary mode (the CR LF translation is ours) and chooses its buffering:
// none on a terminal, so that progress marks show at once; full buffering on a file or pipe.
void console_init();

void console_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

void console_flush();

// Tests send the console to another stream; nullptr restores standard output.
void console_set_stream(std::FILE* stream);

}  // namespace xarveld
