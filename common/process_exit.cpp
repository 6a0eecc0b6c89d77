#include "common/process_exit.hpp"

#include <array>
#include <cstdlib>

#include "common/console.hpp"
#include "common/interrupt.hpp"

namespace xarveld {

namespace {
std::array<void (*)(), 4> releases{};
std::size_t release_count = 0;
int trouble = 1;
}  // namespace

void at_process_end(void (*release)()) {
  for (std::size_t i = 0; i < release_count; ++i) {
    if (releases[i] == release) return;
  }
  if (release_count < releases.size()) releases[release_count++] = release;
}

void end_process(int status) {
  // log.txt and the port first: a stdout nobody reads can block its write-out, and a second
  // interrupt then ends the process there with nothing of the trace lost.
  while (release_count > 0) releases[--release_count]();
  console_flush();
  if (interrupt_requested()) interrupt_end_process();
  std::exit(status);
}

void set_trouble_status(int status) { trouble = status; }
int trouble_status() { return trouble; }

void end_process_if_interrupted() {
  if (interrupt_requested()) end_process(0);
}

}  // namespace xarveld
