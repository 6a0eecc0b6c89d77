#include "link/transaction.hpp"

#include "common/process_exit.hpp"
#include "link/clock.hpp"
#include "link/framing.hpp"
#include "link/lost_port.hpp"
#include "link/receive.hpp"
#include "link/serial_port.hpp"
#include "trace/trace_log.hpp"

namespace xarveld {

namespace {
std::uint32_t current_reply_timeout = REPLY_TIMEOUT_DEFAULT;
}  // namespace

std::uint32_t reply_timeout() { return current_reply_timeout; }
void set_reply_timeout(std::uint32_t ticks) { current_reply_timeout = ticks; }

int send_packet(Packet& cmd) {
  std::size_t words = packet_word_count(cmd[0]);
  cmd[words - 1] = packet_checksum(cmd);
  trace_command_record(cmd.data(), words);
  std::uint8_t frame[YENC_FRAME_CAPACITY];
  std::size_t length = frame_packet(cmd, words, frame);
  int written = serial_write(frame, length);
  if (written != SERIAL_WRITE_DONE) {
    release_lost_port(written == SERIAL_WRITE_GONE ? PortLoss::Vanished : PortLoss::Stuck);
  }
  return 1;
}

int await_response(Packet* resp) {
  std::uint64_t deadline = clock_ticks() + current_reply_timeout;
  for (;;) {
    // Each read waits one read interval at most: an interrupt is noticed within that.
    end_process_if_interrupted();
    // The deadline is tested before every read, so a wait of one tick still makes one read.
    if (clock_ticks() > deadline) return 0;
    int result = receive_packet(resp);
    if (result == RECEIVE_COMPLETE) return packet_is_valid(*resp) ? 1 : 0;
    // An invalid line ends the wait as a failed checksum does; a port that is gone ends it at
    // once rather than at the deadline.
    if (result == RECEIVE_INVALID_LINE || result == RECEIVE_READ_FAILED ||
        result == RECEIVE_NO_PORT) {
      return 0;
    }
  }
}

int transact(Packet& cmd, Packet& resp) {
  std::uint16_t code = packet_command_code(cmd[0]);
  for (int attempts_left = TRANSACT_ATTEMPTS; attempts_left > 0; --attempts_left) {
    // Nothing is sent, or recorded as sent, to a port that is gone, nor once an interrupt came
    // in while stdout was being written: no answer of it would ever be read.
    if (!serial_is_open()) return 0;
    end_process_if_interrupted();
    send_packet(cmd);
    if (code == CMD_DISCONNECT || code == CMD_ENTER_YENC) {
      await_response(nullptr);
      return 1;
    }
    if (await_response(&resp) == 1) {
      trace_response_record(resp.data(), packet_word_count(resp[0]));
      return 1;
    }
    // A data block is never sent again from here: the caller announces the block again first.
    if (code == CMD_DATA) return 0;
  }
  return 0;
}

void transaction_reset() { current_reply_timeout = REPLY_TIMEOUT_DEFAULT; }

}  // namespace xarveld
