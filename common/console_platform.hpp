#pragma once
// The platform facts the console needs, one source file per platform.
#include <cstdio>

namespace xarveld {

bool stream_is_terminal(std::FILE* stream);

// Makes the stream write bytes as given (no text-mode line-end translation).
void stream_set_binary(std::FILE* stream);

}  // namespace xarveld
