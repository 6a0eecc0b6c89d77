#pragma once
// A transaction is one command sent and one response received and accepted, with up to three
// sends, against a deadline of reply_timeout.
#include <cstdint>

#include "link/packet.hpp"

namespace xarveld {

// How long one wait for a response may last, in 100-ns ticks; changed only by connection setup.
constexpr std::uint32_t REPLY_TIMEOUT_DEFAULT = 200000000;  // 20 s
std::uint32_t reply_timeout();
void set_reply_timeout(std::uint32_t ticks);

constexpr int TRANSACT_ATTEMPTS = 3;

// Fills in cmd's checksum word, records the command in the trace log, frames it by the current
// LinkMode and writes it to the port. Always returns 1.
int send_packet(Packet& cmd);

// Waits until reply_timeout has passed for a valid packet in resp: 1 when one came, 0 otherwise.
// With resp absent the wait is a drain of the line that lasts until the deadline and returns 0.
// A port that is gone ends the wait at once; an interrupt ends the process from here.
int await_response(Packet* resp);

// 1 when cmd was answered by a valid response, now in resp; 0 after the last failed attempt, or at
// once when the port is gone.
// CMD_DATA is sent once (the caller resynchronises); CMD_DISCONNECT and CMD_ENTER_YENC drain the
// line for reply_timeout and succeed whatever arrives.
int transact(Packet& cmd, Packet& resp);

// Back to the state at process start. For tests.
void transaction_reset();

}  // namespace xarveld
