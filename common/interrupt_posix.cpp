#include <signal.h>
#include <unistd.h>

#include <initializer_list>

#include "common/interrupt.hpp"

namespace xarveld {

namespace {
volatile sig_atomic_t requested_signal = 0;

void note_signal(int number) { requested_signal = number; }
}  // namespace

void interrupt_install() {
  struct sigaction action{};
  action.sa_handler = note_signal;
  sigemptyset(&action.sa_mask);
  // Restarted: a write to a slow stdout is not cut short. A wait in select() or poll() never
  // is, so the wait returns and the run notices the request.
  action.sa_flags = SA_RESTART;
  for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool interrupt_requested() { return requested_signal != 0; }

void interrupt_end_process() {
  int number = requested_signal;
  signal(number, SIG_DFL);
  sigset_t unblock;
  sigemptyset(&unblock);
  sigaddset(&unblock, number);
  sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
  raise(number);
  _exit(128 + number);
}

void interrupt_reset() { requested_signal = 0; }

}  // namespace xarveld
