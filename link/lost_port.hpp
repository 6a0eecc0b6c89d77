#pragma once
// A port that is gone stays gone. A failed read (a pulled adapter, a line that hung up) or a frame
// that could not be written in time (a target that stopped taking data) releases the port at
// once; from then on every wait ends at once and nothing more is written, so the running
// operation fails with its usual message within moments of the loss.

namespace xarveld {

enum class PortLoss { Vanished, Stuck };

// Releases the port, saying why on a terminal; does nothing once it is released.
void release_lost_port(PortLoss loss);

}  // namespace xarveld
