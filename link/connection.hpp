#pragma once
// Finding out whether the loader listens in raw or yEnc framing, switching it to yEnc, and the
// closing disconnect. The only code that changes LinkMode and reply_timeout.
#include <cstdint>

namespace xarveld {

constexpr std::uint32_t REPLY_TIMEOUT_PROBE = 10000000;  // 1 s while probing
constexpr std::uint32_t REPLY_TIMEOUT_DISCONNECT = 1;    // 100 ns: one read, normally

constexpr int DETECTED_NONE = 0;
constexpr int DETECTED_RAW = 1;
constexpr int DETECTED_YENC = 2;

// Pings in raw framing, then in yEnc framing; returns DETECTED_RAW, DETECTED_YENC or
// DETECTED_NONE (leaving LinkMode YEnc).
int detect_link_mode();

// Detects (two passes), announces the mode, asks the loader for yEnc framing and switches to it
// with the 20-s reply timeout. A target that never answers prints "\nConnection timed out!\n"
// and ends the process with status 1.
void connect_target();

// Pings in the current framing with the probe time-out, then restores the default: true when the
// loader answered. For a run that does not load the driver, so that a board that is off is told
// in seconds rather than after the first command's long wait.
bool ping_loader();

// Sends CMD_DISCONNECT with the shortest reply timeout.
void disconnect_target();

}  // namespace xarveld
