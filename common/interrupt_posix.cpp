#include <signal.h>
#include <unistd.h>

#include <initializer_list>

#include "common/interrupt.hpp"

namespace xarveld {

namespace {
volatile sig_atomic_t requested_signal = 0;

void take_default_action(int number) {
  struct sigaction fallback{};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(number, &fallback, nullptr);
}

// A second request while the first is still being carried out (a write to a stdout nobody reads
// blocks the way out) ends the process at once: the signal, raised again with its default action,
// is delivered the moment this handler returns.
void note_signal(int number) {
  if (requested_signal != 0) {
    take_default_action(number);
    raise(number);
    return;
  }
  requested_signal = number;
}
}  // namespace

void interrupt_install() {
  struct sigaction action{};
  action.sa_handler = note_signal;
  sigemptyset(&action.sa_mask);
  // Not restarted: a write to a stdout nobody reads is cut short, so the run can end. A wait in
  // select() or poll() is never restarted anyway.
  action.sa_flags = 0;
  for (int number : {SIGINT, SIGTERM, SIGHUP}) {
    // A signal ignored when the tool started stays ignored: nohup, a background job of a script.
    struct sigaction inherited{};
    if (sigaction(number, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) continue;
    sigaction(number, &action, nullptr);
  }
  signal(SIGPIPE, SIG_IGN);
}

bool interrupt_requested() { return requested_signal != 0; }

void interrupt_end_process() {
  int number = requested_signal;
  take_default_action(number);
  sigset_t unblock;
  sigemptyset(&unblock);
  sigaddset(&unblock, number);
  sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
  raise(number);
  _exit(128 + number);
}

void interrupt_reset() { requested_signal = 0; }

}  // namespace xarveld
