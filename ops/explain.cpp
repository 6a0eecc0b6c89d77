#include "ops/explain.hpp"

#include <cstdarg>

#include "common/diagnostic.hpp"
#include "link/serial_port.hpp"

namespace xarveld {

void explain_failure(const char* format, ...) {
  if (!serial_is_open()) return;
  std::va_list args;
  va_start(args, format);
  vdiagnose(format, args);
  va_end(args);
}

}  // namespace xarveld
