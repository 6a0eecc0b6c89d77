// macOS limits select() to FD_SETSIZE descriptors unless asked for its unlimited form.
#define _DARWIN_UNLIMITED_SELECT 1
#include <sys/select.h>

#include <cerrno>
#include <vector>

#include "link/port_wait.hpp"

namespace xarveld {

namespace {
// A set as large as the descriptor needs: an fd_set holds FD_SETSIZE bits only, and FD_SET past
// them writes beyond it. Kept between waits, so the per-block path allocates nothing.
std::vector<fd_mask> descriptor_set;

fd_set* set_of(int fd) {
  std::size_t words = static_cast<std::size_t>(fd) / NFDBITS + 1;
  // Never less than an fd_set, which select() may assume it was given.
  std::size_t at_least = sizeof(fd_set) / sizeof(fd_mask);
  descriptor_set.assign(words > at_least ? words : at_least, 0);
  descriptor_set[static_cast<std::size_t>(fd) / NFDBITS] =
      static_cast<fd_mask>(static_cast<fd_mask>(1) << (static_cast<unsigned>(fd) % NFDBITS));
  return reinterpret_cast<fd_set*>(descriptor_set.data());
}
}  // namespace

int port_wait(int fd, bool for_writing, std::uint32_t timeout_ms) {
  fd_set* set = set_of(fd);
  timeval timeout{static_cast<time_t>(timeout_ms / 1000),
                  static_cast<suseconds_t>(timeout_ms % 1000) * 1000};
  int ready = select(fd + 1, for_writing ? nullptr : set, for_writing ? set : nullptr, nullptr,
                     &timeout);
  if (ready > 0) return PORT_READY;
  return ready == 0 || errno == EINTR ? PORT_QUIET : PORT_WAIT_FAILED;
}

}  // namespace xarveld
