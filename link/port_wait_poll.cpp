#include <poll.h>

#include <cerrno>

#include "link/port_wait.hpp"

namespace xarveld {

int port_wait(int fd, bool for_writing, std::uint32_t timeout_ms) {
  pollfd entry{fd, static_cast<short>(for_writing ? POLLOUT : POLLIN), 0};
  int ready = poll(&entry, 1, static_cast<int>(timeout_ms));
  if (ready > 0) return (entry.revents & POLLNVAL) != 0 ? PORT_WAIT_FAILED : PORT_READY;
  return ready == 0 || errno == EINTR ? PORT_QUIET : PORT_WAIT_FAILED;
}

}  // namespace xarveld
