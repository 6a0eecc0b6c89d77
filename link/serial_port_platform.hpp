#pragma once
// What each platform does to open the port, for serial_port.cpp's serial_open: the POSIX and the
// Win32 files each define it beside the rest of the port.
#include <cstdint>
#include <string>

namespace xarveld {

// Opens the device named by port_name for this process alone, drops DTR and RTS, applies the
// line settings and checks that they took, and sets what serial_port_description gives. False
// with the system's reason (and a hint where one helps) in failure, the port left closed.
bool serial_open_device(const std::string& port_name, std::uint32_t baud_rate,
                        std::string& failure);

}  // namespace xarveld
