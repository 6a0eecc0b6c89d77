#include "cli/run_sequence.hpp"

#include "common/console.hpp"
#include "link/connection.hpp"
#include "link/serial_port.hpp"
#include "ops/program.hpp"
#include "ops/verify.hpp"
#include "trace/trace_log.hpp"

namespace xarveld {

int run_sequence(const Options& options) {
  if (options.load_driver && program_image(options.driver_file, DRIVER_DEVICE) != 0) {
    console_printf("Unable to load %s.\n", options.driver_file.c_str());
    return EXIT_OPERATION_FAILED;
  }
  if (options.program && program_image(options.device_file, options.device_number) != 0) {
    console_printf("\nUnable to program %s.\n", options.device_file.c_str());
    return EXIT_OPERATION_FAILED;
  }
  if (options.verify_mode == VERIFY_DATA &&
      verify_image(options.device_file, options.device_number, false) != 0) {
    console_printf("\n*** Verification failed.\n");
    return EXIT_OPERATION_FAILED;
  }
  if (options.verify_mode == VERIFY_CHECKSUM &&
      verify_image(options.device_file, options.device_number, true) != 0) {
    console_printf("\n*** Checksum verification failed.\n");
    return EXIT_OPERATION_FAILED;
  }
  disconnect_target();
  trace_close();
  serial_close();
  console_printf("Connection closed.\n");
  return 0;
}

}  // namespace xarveld
