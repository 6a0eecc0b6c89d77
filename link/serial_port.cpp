// The part of opening the port that every platform shares; serial_port_posix.cpp and
// serial_port_win32.cpp hold the rest.
#include "link/serial_port.hpp"

#include "common/console.hpp"
#include "common/diagnostic.hpp"
#include "common/process_exit.hpp"
#include "link/serial_port_platform.hpp"
#include "link/stale_input.hpp"

namespace xarveld {

void serial_open(const std::string& port_name, std::uint32_t baud_rate) {
  std::string failure;
  if (!serial_open_device(port_name, baud_rate, failure)) {
    console_printf("Could not open serial port!\n");
    diagnose("%s: %s", serial_port_description().c_str(), failure.c_str());
    end_process(trouble_status());
  }
  at_process_end(serial_close);
  discard_stale_input();
  console_printf("Serial port opened...\n");
}

}  // namespace xarveld
