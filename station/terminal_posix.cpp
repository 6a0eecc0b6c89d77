#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "station/terminal.hpp"

namespace xarveld::station {

bool terminal_prepare() { return isatty(STDOUT_FILENO) == 1; }

int terminal_columns() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

void terminal_write(const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t wrote = write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return;  // output nobody reads (a closed pipe) is dropped
    done += static_cast<std::size_t>(wrote);
  }
}

}  // namespace xarveld::station
