#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "station/os/interrupt.hpp"

namespace xarveld::station {

namespace {
volatile sig_atomic_t noted_signal = 0;
int wake_pipe[2] = {-1, -1};

// A second one, while the first is being carried out, ends the station at once, as the tool ends:
// the signal, its default action back, is delivered the moment this handler returns. The tools
// it leaves are hung up by their closed pseudo-terminals, and end as they do on SIGHUP.
void note_signal(int number) {
  int saved = errno;
  if (noted_signal != 0) {
    struct sigaction fallback{};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(number, &fallback, nullptr);
    raise(number);
    errno = saved;
    return;
  }
  noted_signal = number;
  char byte = 0;
  [[maybe_unused]] ssize_t ignored = write(wake_pipe[1], &byte, 1);
  errno = saved;
}
}  // namespace

void station_interrupt_install() {
  if (pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) wake_pipe[0] = wake_pipe[1] = -1;
  struct sigaction action{};
  action.sa_handler = note_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int number : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction before{};
    sigaction(number, nullptr, &before);
    if (before.sa_handler != SIG_IGN) sigaction(number, &action, nullptr);
  }
  signal(SIGPIPE, SIG_IGN);
  // Past a file-size limit a write fails with EFBIG, which the station says, instead of ending
  // it with every running board unrecorded.
  signal(SIGXFSZ, SIG_IGN);
}

int station_interrupt_signal() {
  // Emptied here, so that a noted signal wakes the wait once, not for ever.
  char drained[16];
  while (wake_pipe[0] >= 0 && read(wake_pipe[0], drained, sizeof drained) > 0) {
  }
  return noted_signal;
}

WakeHandle station_interrupt_wake() { return wake_pipe[0]; }

ChildSignal station_interrupt_for_child() {
  return noted_signal == SIGINT ? ChildSignal::Interrupt : ChildSignal::Terminate;
}

}  // namespace xarveld::station
