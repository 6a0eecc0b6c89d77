#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "station/os/operator_input.hpp"

namespace xarveld::station {

namespace {
bool listening = false;
bool echo_turned_off = false;
termios saved_settings{};
}  // namespace

void operator_input_start() {
  listening = true;
  if (isatty(STDIN_FILENO) == 1 && tcgetattr(STDIN_FILENO, &saved_settings) == 0) {
    termios quiet = saved_settings;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    echo_turned_off = tcsetattr(STDIN_FILENO, TCSANOW, &quiet) == 0;
  }
}

void operator_input_stop() {
  if (echo_turned_off) tcsetattr(STDIN_FILENO, TCSANOW, &saved_settings);
  echo_turned_off = false;
  listening = false;
}

WakeHandle operator_input_wake() { return listening ? STDIN_FILENO : NO_WAKE_HANDLE; }

int operator_input_take_lines() {
  int lines = 0;
  // One read per call, and only when poll says it will not block: standard input stays in
  // blocking mode, as the shell that shares it expects.
  pollfd fd{STDIN_FILENO, POLLIN, 0};
  while (listening && poll(&fd, 1, 0) > 0) {
    if ((fd.revents & (POLLIN | POLLHUP)) == 0) {
      listening = false;  // POLLNVAL or POLLERR: nothing will ever come
      break;
    }
    char chunk[256];
    ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      listening = false;
      break;
    }
    for (ssize_t i = 0; i < got; ++i) lines += chunk[i] == '\n' ? 1 : 0;
  }
  return lines;
}

}  // namespace xarveld::station
