#include <unistd.h>

#include "common/console_platform.hpp"

namespace xarveld {

bool stream_is_terminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

// POSIX streams never translate line ends.
void stream_set_binary(std::FILE*) {}

}  // namespace xarveld
