#pragma once
// What xarveld-read says besides its one result line: trouble, always, on standard error (a
// script logs it); progress only when standard error is a terminal (a log would fill with it).
#include <cstdint>

namespace xarveld {

// "xarveld-read: " and the text, one line on standard error.
void report_trouble(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A read of total bytes begins; each step adds bytes done; the end clears the line.
void progress_start(std::uint32_t total);
void progress_advance(std::uint32_t bytes);
void progress_end();

}  // namespace xarveld
