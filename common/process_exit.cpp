#include "common/process_exit.hpp"

#include <cstdlib>

#include "common/console.hpp"

namespace xarveld {

void end_process(int status) {
  console_flush();
  std::exit(status);
}

}  // namespace xarveld
