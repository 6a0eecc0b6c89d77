#include "link/lost_port.hpp"

#include "common/diagnostic.hpp"
#include "link/serial_port.hpp"

namespace xarveld {

void release_lost_port(PortLoss loss) {
  if (!serial_is_open()) return;
  // Each loss in its own words, whole in the format: the station tells them apart by these texts.
  if (loss == PortLoss::Vanished) {
    diagnose("%s vanished: the adapter was unplugged or the line hung up",
             serial_port_description().c_str());
  } else {
    diagnose("%s stopped taking data: a frame could not be written within 2 s",
             serial_port_description().c_str());
  }
  // Nothing more of this run is going to leave: the port closes without waiting for it.
  serial_discard_output();
  serial_close();
}

}  // namespace xarveld
