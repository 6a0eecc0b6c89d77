#pragma once
// Receiving from the port: one read at a time, assembled by the current LinkMode.
#include "link/framing.hpp"
#include "link/packet.hpp"

namespace xarveld {

// One read of the port, assembled by the current LinkMode into out; returns one of the RECEIVE_
// results. Completed yEnc lines leave their records in the trace log. With out absent the read
// is a drain: its bytes are thrown away and the accumulator is not touched. A failed read means
// the port is gone: it is released, and every later call returns RECEIVE_NO_PORT.
int receive_packet(Packet* out);

// Back to the state at process start: Raw framing, empty accumulator. For tests.
void framing_reset();

}  // namespace xarveld
