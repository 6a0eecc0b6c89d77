#include "link/receive.hpp"

#include "common/console.hpp"
#include "link/lost_port.hpp"
#include "link/serial_port.hpp"
#include "trace/trace_log.hpp"

namespace xarveld {

namespace {
// The accumulator outlives a wait: bytes of an answer that came too late become the head of the
// next packet or line, across transactions and changes of LinkMode alike.
ReceiveAccumulator receive_accumulator;

void record_line(const CompletedLine& line) {
  if (line.kind == LineKind::NotAMessage) {
    trace_line_error_record(line.text.data());
    return;
  }
  trace_message_record(line.text.data());
  if (line.kind == LineKind::WrongChannel) trace_channel_error_record(line.text.data());
}
}  // namespace

int receive_packet(Packet* out) {
  if (!serial_is_open()) return RECEIVE_NO_PORT;
  std::uint8_t read_buffer[SERIAL_READ_SIZE];
  std::size_t count = 0;
  int read_ok = serial_read(read_buffer, sizeof read_buffer, &count);
  if (!read_ok) {
    // The message shows the read's result flag, so it always says 0; users and their scripts
    // know it by that text. A drain says nothing.
    if (out != nullptr) console_printf("Serial Read Error = %d\n", read_ok);
    release_lost_port(PortLoss::Vanished);
    return RECEIVE_READ_FAILED;
  }
  if (out == nullptr || count == 0) return RECEIVE_NOTHING;

  if (link_mode() == LinkMode::Raw) {
    return assemble_raw(receive_accumulator, read_buffer, count, *out);
  }
  CompletedLine line;
  int result = assemble_yenc(receive_accumulator, read_buffer, count, *out, line);
  if (result != RECEIVE_PENDING) record_line(line);
  return result;
}

void framing_reset() {
  set_link_mode(LinkMode::Raw);
  receive_accumulator = ReceiveAccumulator{};
}

}  // namespace xarveld
