// yEnc encoding and decoding. The first 36 bytes of the input (fewer if it is shorter) are
// framed and decoded back, bare and as a packet; the whole input is then decoded as a received
// line's body would be.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "link/framing.hpp"
#include "link/packet.hpp"
#include "tests/fuzz/fuzz_check.hpp"

namespace {

using namespace xarveld;
using Bytes = std::vector<std::uint8_t>;

// Encoded values that may not stand on the line as they are.
bool is_critical(std::uint8_t encoded) {
  return encoded == 0x00 || encoded == 0x09 || encoded == 0x0A || encoded == 0x0D ||
         encoded == '=';
}

bool is_forbidden_on_line(std::uint8_t c) {
  return c == 0x00 || c == 0x09 || c == 0x0A || c == 0x0D;
}

// Decodes frame[2 .. length-1) with yenc_decode into an exactly sized buffer.
Bytes decode_body(const Bytes& frame, std::size_t frame_length) {
  Bytes out(frame_length);
  std::size_t written = yenc_decode(out.data(), frame.data() + 2, frame_length - 3);
  FUZZ_CHECK(written <= frame_length - 3);
  out.resize(written);
  return out;
}

// Frames bytes and checks the frame's form; returns the frame and its length.
Bytes encode_and_check(const Bytes& bytes, std::size_t& frame_length) {
  // The largest frame possible, and its zero byte: an overrun is an ASan report.
  Bytes frame(2 * bytes.size() + 4);
  frame_length = yenc_encode_frame(frame.data(), bytes.data(), bytes.size());
  std::size_t escapes = 0;
  for (std::uint8_t b : bytes) escapes += is_critical(static_cast<std::uint8_t>(b + 42));
  FUZZ_CHECK(frame_length == 3 + bytes.size() + escapes);
  if (bytes.size() <= PACKET_MAX_BYTES) FUZZ_CHECK(frame_length <= 75);
  FUZZ_CHECK(frame[0] == '=' && frame[1] == 'G');
  FUZZ_CHECK(frame[frame_length - 1] == '\r' && frame[frame_length] == 0);
  // Between prefix and CR: no control byte the line would eat, and every '=' opens an escape
  // pair whose second byte stands for a critical value.
  for (std::size_t i = 2; i + 1 < frame_length; ++i) {
    FUZZ_CHECK(!is_forbidden_on_line(frame[i]));
    if (frame[i] != '=') continue;
    FUZZ_CHECK(i + 2 < frame_length);
    std::uint8_t escaped = frame[++i];
    FUZZ_CHECK(!is_forbidden_on_line(escaped) && escaped != '=');
    FUZZ_CHECK(is_critical(static_cast<std::uint8_t>(escaped - 64)));
  }
  return frame;
}

void check_round_trip(const Bytes& bytes) {
  std::size_t frame_length = 0;
  Bytes frame = encode_and_check(bytes, frame_length);
  FUZZ_CHECK(decode_body(frame, frame_length) == bytes);
}

// The packet the first 36 bytes make, framed by the current LinkMode as send_packet frames it.
void check_packet_frames(const Bytes& head) {
  std::uint8_t padded[PACKET_MAX_BYTES] = {};
  std::copy(head.begin(), head.end(), padded);
  Packet packet{};
  words_from_bytes(padded, PACKET_MAX_WORDS, packet.data());
  std::size_t words = packet_word_count(packet[0]);
  std::uint8_t bytes[PACKET_MAX_BYTES];
  Bytes expected(bytes, bytes + packet_to_bytes(packet, words, bytes));

  Bytes frame(YENC_FRAME_CAPACITY);
  set_link_mode(LinkMode::Raw);
  std::size_t length = frame_packet(packet, words, frame.data());
  FUZZ_CHECK(Bytes(frame.begin(), frame.begin() + static_cast<long>(length)) == expected);

  set_link_mode(LinkMode::YEnc);
  length = frame_packet(packet, words, frame.data());
  std::size_t checked_length = 0;
  Bytes checked = encode_and_check(expected, checked_length);
  FUZZ_CHECK(length == checked_length);
  FUZZ_CHECK(std::memcmp(frame.data(), checked.data(), length + 1) == 0);
  FUZZ_CHECK(decode_body(frame, length) == expected);
  set_link_mode(LinkMode::Raw);
}

// Arbitrary bytes as the body of a received line: all but the last are counted, and the last
// is the byte an escape in the last counted position pairs with, as the line's last stored byte
// is in receive assembly.
void check_arbitrary_decode(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  Bytes in(data, data + size);
  std::size_t counted = size - 1;
  Bytes out(counted);
  std::size_t written = yenc_decode(out.data(), in.data(), counted);
  FUZZ_CHECK(written <= counted);
  std::size_t produced = 0;
  for (std::size_t i = 0; i < counted; ++i) {
    std::uint8_t c = in[i];
    if (c == '=') c = static_cast<std::uint8_t>(in[++i] - 64);
    FUZZ_CHECK(produced < written);
    FUZZ_CHECK(out[produced++] == static_cast<std::uint8_t>(c - 42));
  }
  FUZZ_CHECK(produced == written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes head(data, data + (size < PACKET_MAX_BYTES ? size : PACKET_MAX_BYTES));
  check_round_trip(head);
  // Every packet length, 6 to 36 bytes, whatever the input's own length.
  if (head.size() >= 6) {
    check_round_trip(Bytes(head.begin(), head.begin() + static_cast<long>(head.size() & ~1u)));
  }
  check_packet_frames(head);
  check_arbitrary_decode(data, size);
  return 0;
}
