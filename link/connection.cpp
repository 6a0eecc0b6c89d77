#include "link/connection.hpp"

#include "common/console.hpp"
#include "common/diagnostic.hpp"
#include "common/process_exit.hpp"
#include "link/clock.hpp"
#include "link/framing.hpp"
#include "link/packet.hpp"
#include "link/serial_port.hpp"
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
  std::uint64_t start = clock_ticks();
  set_reply_timeout(REPLY_TIMEOUT_PROBE);
  int detected = detect_link_mode();
  if (detected == DETECTED_NONE) detected = detect_link_mode();
  if (detected == DETECTED_NONE) {
    console_printf("\nConnection timed out!\n");
    // A port that went away has told its own story.
    if (serial_is_open()) {
      unsigned seconds = static_cast<unsigned>((clock_ticks() - start) / TICKS_PER_SECOND);
      diagnose("no answer from the loader on %s: pinged it for %u s in raw and yEnc framing; "
               "check that the board is powered and its loader running, that the cable is on this "
               "port, and that -b gives the loader's baud rate",
               serial_port_description().c_str(), seconds);
    }
    end_process(trouble_status());
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

bool ping_loader() {
  set_reply_timeout(REPLY_TIMEOUT_PROBE);
  Packet ping = build_ping();
  Packet response{};
  bool answered = transact(ping, response) == 1;
  if (answered && link_mode() == LinkMode::Raw) {
    answered = (response[1] & 0x0FFF) == PING_RAW_ANSWER;
  }
  set_reply_timeout(REPLY_TIMEOUT_DEFAULT);
  return answered;
}

void disconnect_target() {
  set_reply_timeout(REPLY_TIMEOUT_DISCONNECT);
  Packet disconnect = build_disconnect();
  Packet response{};
  transact(disconnect, response);
}

}  // namespace xarveld
