#pragma once
// The simulated loader behind the scripted port: every frame the tool writes is fed to it, and
// its answers become the next reads. With the controllable clock, a dropped answer costs a
// 20-second wait that takes microseconds.
#include <string>
#include <vector>

#include "sim/loader.hpp"

namespace xarveld::test {

// Starts loader with the given fault options (as xarveld-sim takes them) and puts it behind the
// port. A hang-up makes every later read fail.
void attach_loader(sim::Loader& loader, const std::vector<std::string>& fault_options = {});

// The device's bytes [0, length).
std::string device_bytes(const sim::Loader& loader, std::uint16_t device, std::size_t length);

}  // namespace xarveld::test
