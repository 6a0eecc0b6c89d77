#include "link/framing.hpp"

#include <cstring>


namespace xarveld {

namespace {
LinkMode current_link_mode = LinkMode::Raw;

bool needs_escape(std::uint8_t encoded) {
  return encoded == 0x00 || encoded == 0x09 || encoded == 0x0A || encoded == 0x0D ||
         encoded == YENC_ESCAPE;
}

// A line on channel 'G' whose decoded bytes hold the whole packet announced by its first word.
bool decode_line_packet(const ReceiveAccumulator& accumulator, Packet& out) {
  std::uint8_t decoded[256];
  std::size_t encoded_length = accumulator.count >= 3 ? accumulator.count - 3 : 0;
  std::size_t decoded_length = yenc_decode(decoded, &accumulator.bytes[2], encoded_length);
  if (decoded_length < 2) return false;
  std::size_t words = packet_word_count(static_cast<std::uint16_t>(decoded[0] | decoded[1] << 8));
  // A short line would otherwise be completed from an earlier line's bytes.
  if (decoded_length < 2 * words) return false;
  words_from_bytes(decoded, words, out.data());
  return true;
}
}  // namespace

LinkMode link_mode() { return current_link_mode; }
void set_link_mode(LinkMode mode) { current_link_mode = mode; }

std::size_t yenc_encode_frame(std::uint8_t* frame, const std::uint8_t* bytes, std::size_t length) {
  std::size_t used = 0;
  frame[used++] = YENC_ESCAPE;
  frame[used++] = YENC_CHANNEL;
  for (std::size_t i = 0; i < length; ++i) {
    std::uint8_t encoded = static_cast<std::uint8_t>(bytes[i] + 42);
    if (needs_escape(encoded)) {
      frame[used++] = YENC_ESCAPE;
      frame[used++] = static_cast<std::uint8_t>(encoded + 64);
    } else {
      frame[used++] = encoded;
    }
  }
  frame[used++] = LINE_END;
  frame[used] = 0;
  return used;
}

std::size_t yenc_decode(std::uint8_t* out, const std::uint8_t* in, std::size_t length) {
  std::size_t written = 0;
  for (std::size_t i = 0; i < length; ++i) {
    std::uint8_t c = in[i];
    if (c == YENC_ESCAPE) c = static_cast<std::uint8_t>(in[++i] - 64);
    out[written++] = static_cast<std::uint8_t>(c - 42);
  }
  return written;
}

int assemble_raw(ReceiveAccumulator& accumulator, const std::uint8_t* data, std::size_t length,
                 Packet& out) {
  for (std::size_t i = 0; i < length && accumulator.count < RECEIVE_ACCUMULATOR_SIZE; ++i) {
    accumulator.bytes[accumulator.count++] = data[i];
  }
  if (accumulator.count < 2) return RECEIVE_PENDING;
  // The high byte of the little-endian header carries the length nibble.
  std::size_t words = static_cast<std::size_t>(accumulator.bytes[1] >> 4) + 3;
  if (accumulator.count < 2 * words) return RECEIVE_PENDING;
  words_from_bytes(accumulator.bytes.data(), words, out.data());
  accumulator.count = 0;
  return RECEIVE_COMPLETE;
}

int assemble_yenc(ReceiveAccumulator& accumulator, const std::uint8_t* data, std::size_t length,
                  Packet& out, CompletedLine& line) {
  for (std::size_t i = 0; i < length; ++i) {
    if (accumulator.count < RECEIVE_ACCUMULATOR_SIZE) {
      accumulator.bytes[accumulator.count++] = data[i];
      accumulator.bytes[accumulator.count] = 0;
    }
    // A CR ends the line even when the line has outgrown the accumulator and it was not stored.
    if (data[i] != LINE_END) continue;

    std::memcpy(line.text.data(), accumulator.bytes.data(), accumulator.count + 1);
    line.length = accumulator.count;
    int result = RECEIVE_INVALID_LINE;
    if (accumulator.bytes[0] != YENC_ESCAPE) {
      line.kind = LineKind::NotAMessage;
    } else if (accumulator.count < 2 || accumulator.bytes[1] != YENC_CHANNEL) {
      line.kind = LineKind::WrongChannel;
    } else {
      line.kind = LineKind::Message;
      if (decode_line_packet(accumulator, out)) result = RECEIVE_COMPLETE;
    }
    accumulator.count = 0;
    return result;
  }
  return RECEIVE_PENDING;
}

std::size_t frame_packet(const Packet& cmd, std::size_t word_count, std::uint8_t* frame) {
  if (current_link_mode == LinkMode::Raw) return packet_to_bytes(cmd, word_count, frame);
  std::uint8_t bytes[PACKET_MAX_BYTES];
  std::size_t length = packet_to_bytes(cmd, word_count, bytes);
  return yenc_encode_frame(frame, bytes, length);
}
}  // namespace xarveld
