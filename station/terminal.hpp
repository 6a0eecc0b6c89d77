#pragma once
// The station's own standard output: a terminal gets rows redrawn in place, anything else plain
// lines. One source file per platform.
#include <string>

namespace xarveld::station {

// POSIX: whether standard output is a terminal. Windows: a console, which is then set to take
// the escape sequences the rows are drawn with.
bool terminal_prepare();

// The terminal's width in columns (80 when it cannot be told).
int terminal_columns();

// Writes text to standard output at once, whole.
void terminal_write(const std::string& text);

}  // namespace xarveld::station
