#pragma once
// Why an operation failed, for a person at a terminal (see common/diagnostic.hpp). Nothing is
// added when the port is gone: its loss has been told already, and is the reason.

namespace xarveld {

void explain_failure(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace xarveld
