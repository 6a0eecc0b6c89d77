#pragma once
// The line settings of the POSIX port, kept apart from the port so that their check can be
// tested without one: tcsetattr succeeds when any one of its changes was applied, so what the
// port holds afterwards is read back and compared with what was asked.
#include <termios.h>

#include <cstdint>

namespace xarveld {

// Built from nothing, as the loader expects: raw 8N1 at baud_rate, no flow control, no modem-line
// hang-up on close, reads that never block on their own (the port waits in select()).
termios line_settings_for(std::uint32_t baud_rate);

// True when read_back holds what asked asks for: the speed both ways, the character size,
// parity, stop bits and flow control (RTS/CTS and XON/XOFF). Anything else a driver adds or
// leaves out does not matter to the loader.
bool line_settings_took(const termios& asked, const termios& read_back);

}  // namespace xarveld
