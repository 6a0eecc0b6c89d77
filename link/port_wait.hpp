#pragma once
// Waiting on the port's descriptor, POSIX. Two ways with one meaning: poll() where it serves
// terminals (Linux), select() where it does not (macOS, whose poll() takes no devices), with
// descriptors of FD_SETSIZE and more handled there too: a parent that leaves many descriptors
// open can hand the tool a port numbered far past 1024.
#include <cstdint>

namespace xarveld {

constexpr int PORT_READY = 1;  // something to read (or room to write), or an ending to learn of
constexpr int PORT_QUIET = 0;  // the time passed, or a signal came
constexpr int PORT_WAIT_FAILED = -1;

// Waits up to timeout_ms for fd to be readable (or writable). A hang-up counts as ready: the read
// or write that follows reports it.
int port_wait(int fd, bool for_writing, std::uint32_t timeout_ms);

}  // namespace xarveld
