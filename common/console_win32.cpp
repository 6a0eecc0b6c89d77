#include <fcntl.h>
#include <io.h>

#include "common/console_platform.hpp"

namespace xarveld {

bool stream_is_terminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

// A text-mode stream would turn our CR LF into CR CR LF.
void stream_set_binary(std::FILE* stream) { _setmode(_fileno(stream), _O_BINARY); }

}  // namespace xarveld
