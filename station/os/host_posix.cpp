#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

#include "station/os/host.hpp"

namespace xarveld::station {

std::string host_name() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

std::int64_t process_id() { return getpid(); }

bool process_gone(std::int64_t pid) {
  return pid > 0 && pid <= std::numeric_limits<pid_t>::max() &&
         kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

}  // namespace xarveld::station
