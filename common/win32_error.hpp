#pragma once
// The system's own words for a Win32 error code, for the help written to a terminal.
// Windows build only.
#include <string>

namespace xarveld {

std::string win32_error_text(unsigned long error);

}  // namespace xarveld
