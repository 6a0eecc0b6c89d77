#include "link/transaction.hpp"

#include "link/clock.hpp"
#include "link/framing.hpp"
#include "link/receive.hpp"
#include "link/serial_port.hpp"
#include "trace/trace_log.hpp"

namespace xarveld {

namespace {
std::uint32_t current_reply_timeout = REPLY_TIMEOUT_DEFAULT;

// A read that failed returns at once; the next one waits out the rest of a read interval, so a
// port that has vanished can neither spin a core nor flood the screen.
void pace_after_failed_read(std::uint64_t read_start) {
  constexpr std::uint64_t interval = SERIAL_READ_INTERVAL_MS * TICKS_PER_MILLISECOND;
  std::uint64_t elapsed = clock_ticks() - read_start;
  if (elapsed >= interval) return;
  std::uint64_t left = interval - elapsed;
  clock_sleep_ms(static_cast<std::uint32_t>((left + TICKS_PER_MILLISECOND - 1) /
                                            TICKS_PER_MILLISECOND));
}
}  // namespace

std::uint32_t reply_timeout() { return current_reply_timeout; }
void set_reply_timeout(std::uint32_t ticks) { current_reply_timeout = ticks; }

int send_packet(Packet& cmd) {
  std::size_t words = packet_word_count(cmd[0]);
  cmd[words - 1] = packet_checksum(cmd);
  trace_command_record(cmd.data(), words);
  std::uint8_t frame[YENC_FRAME_CAPACITY];
  std::size_t length = frame_packet(cmd, words, frame);
  serial_write(frame, length);
  return 1;
}

int await_response(Packet* resp) {
  std::uint64_t deadline = clock_ticks() + current_reply_timeout;
  for (;;) {
    // The deadline is tested before every read, so a wait of one tick still makes one read.
    std::uint64_t read_start = clock_ticks();
    if (read_start > deadline) return 0;
    int result = receive_packet(resp);
    if (result == RECEIVE_COMPLETE) return packet_is_valid(*resp) ? 1 : 0;
    if (result == RECEIVE_INVALID_LINE) return 0;
    if (result == RECEIVE_READ_FAILED || result == RECEIVE_NO_PORT) {
      pace_after_failed_read(read_start);
    }
  }
}

int transact(Packet& cmd, Packet& resp) {
  std::uint16_t code = packet_command_code(cmd[0]);
  for (int attempts_left = TRANSACT_ATTEMPTS; attempts_left > 0; --attempts_left) {
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
