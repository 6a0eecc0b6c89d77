#pragma once
// One slot as main sets it up for the loop: the slot and what its port is.
#include "station/os/port.hpp"
#include "station/station_options.hpp"

namespace xarveld::station {

struct SlotSetup {
  Slot slot;
  PortIdentity identity;
};

}  // namespace xarveld::station
