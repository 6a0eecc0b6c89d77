// xarveld: loads a driver into a target board's SRAM, burns an image into one of its flash
// devices and verifies it, over a serial port.
#include <string>
#include <vector>

#include "cli/options.hpp"
#include "cli/run_sequence.hpp"
#include "common/console.hpp"
#include "common/interrupt.hpp"
#include "common/process_exit.hpp"
#include "link/serial_port.hpp"
#include "trace/trace_log.hpp"

int main(int argc, char** argv) {
  using namespace xarveld;
  console_init();
  interrupt_install();
  std::vector<std::string> arguments(argv + 1, argv + argc);
  ParseResult parsed = parse_options(arguments);
  if (parsed.outcome == ParseOutcome::Usage) {
    print_usage();
    end_process(EXIT_USAGE);
  }
  if (parsed.outcome == ParseOutcome::Error) {
    console_printf("%s", parsed.message);
    end_process(EXIT_ARGUMENT_ERROR);
  }
  // Argument errors end before this point and leave an existing log.txt untouched.
  trace_open();
  serial_open(parsed.options.port_name, parsed.options.baud_rate);
  end_process(run_sequence(parsed.options));
}
