#pragma once
// Help for a person at a terminal: why a run failed, what the system said, what to check. One
// line, "xarveld: " and the text, on standard error, and only when standard error is a terminal:
// scripts parse standard output byte for byte and many capture both streams, so a run whose
// standard error is redirected writes nothing there.
#include <cstdarg>

namespace xarveld {

void diagnose(const char* format, ...) __attribute__((format(printf, 1, 2)));
void vdiagnose(const char* format, std::va_list args) __attribute__((format(printf, 1, 0)));

}  // namespace xarveld
