#include "link/connection.hpp"

#include "common/console.hpp"
#include "common/process_exit.hpp"
#include "link/framing.hpp"
#include "link/packet.hpp"
#include "link/transaction.hpp"

namespace xarveld {

int detect_link_mode() {
  Packet ping = build_ping();
  Packet response{};
  set_link_mode(LinkMode::Raw);
  if (transact(ping, response) == 1 && (response[1] & 0x0FFF) == PING_RAW_ANSWER) {
    return DETECTED_RAW;
  }
  // In yEnc framing any valid answer will do.
  set_link_mode(LinkMode::YEnc);
  if (transact(ping, response) == 1) return DETECTED_YENC;
  return DETECTED_NONE;
}

void connect_target() {
  set_reply_timeout(REPLY_TIMEOUT_PROBE);
  int detected = detect_link_mode();
  if (detected == DETECTED_NONE) detected = detect_link_mode();
  if (detected == DETECTED_NONE) {
    console_printf("\nConnection timed out!\n");
    end_process(1);
  }
  console_printf(detected == DETECTED_RAW ? "RAW mode detected.\n" : "yEnc encoding detected.\n");

  // Sent in the framing just detected; it drains the line for the probe time-out whatever the
  // loader answers.
  set_link_mode(detected == DETECTED_RAW ? LinkMode::Raw : LinkMode::YEnc);
  Packet enter_yenc = build_enter_yenc();
  Packet response{};
  transact(enter_yenc, response);

  set_link_mode(LinkMode::YEnc);
  set_reply_timeout(REPLY_TIMEOUT_DEFAULT);
}

void disconnect_target() {
  set_reply_timeout(REPLY_TIMEOUT_DISCONNECT);
  Packet disconnect = build_disconnect();
  Packet response{};
  transact(disconnect, response);
}

}  // namespace xarveld
