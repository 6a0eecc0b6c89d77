#include "link/lost_port.hpp"

#include "common/diagnostic.hpp"
#include "link/serial_port.hpp"

namespace xarveld {

void release_lost_port(PortLoss loss) {
  if (!serial_is_open()) return;
  const char* what = loss == PortLoss::Vanished
                         ? "vanished: the adapter was unplugged or the line hung up"
                         : "stopped taking data: a frame could not be written within 2 s";
  diagnose("%s %s", serial_port_description().c_str(), what);
  // Nothing more of this run is going to leave: the port closes without waiting for it.
  serial_discard_output();
  serial_close();
}

}  // namespace xarveld
