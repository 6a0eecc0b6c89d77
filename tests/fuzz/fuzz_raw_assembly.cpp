// Raw receive assembly over pieces of any size, checked against a model of the accumulator, then
// through the acceptance test. Input: the pieces of pieces.hpp, one per assembly step.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "link/framing.hpp"
#include "link/packet.hpp"
#include "tests/fuzz/fuzz_check.hpp"
#include "tests/fuzz/pieces.hpp"

namespace {

using namespace xarveld;
using fuzz::Bytes;

// What the accumulator should hold: every byte that arrived while fewer than 258 were kept,
// since the last completed packet.
struct Model {
  Bytes accumulated;
  void append(const Bytes& piece) {
    for (std::uint8_t b : piece) {
      if (accumulated.size() < RECEIVE_ACCUMULATOR_SIZE) accumulated.push_back(b);
    }
  }
  // Bytes the packet announced by the accumulated header needs, or 0 while there is no header.
  std::size_t needed() const {
    if (accumulated.size() < 2) return 0;
    return 2 * (static_cast<std::size_t>(accumulated[1] >> 4) + 3);
  }
};

void check_piece(ReceiveAccumulator& accumulator, Model& model, const Bytes& piece, Packet& out) {
  const Packet before = out;
  model.append(piece);
  // The piece is a heap block of its own exact size: a read past it is an ASan report.
  int result = assemble_raw(accumulator, piece.data(), piece.size(), out);
  FUZZ_CHECK(accumulator.count <= RECEIVE_ACCUMULATOR_SIZE);

  std::size_t needed = model.needed();
  bool complete = needed != 0 && model.accumulated.size() >= needed;
  if (!complete) {
    FUZZ_CHECK(result == RECEIVE_PENDING);
    FUZZ_CHECK(out == before);
    FUZZ_CHECK(accumulator.count == model.accumulated.size());
    for (std::size_t i = 0; i < accumulator.count; ++i) {
      FUZZ_CHECK(accumulator.bytes[i] == model.accumulated[i]);
    }
    return;
  }

  FUZZ_CHECK(result == RECEIVE_COMPLETE);
  // Exactly the words of the first 2(N+3) accumulated bytes, low byte first; the rest of out
  // is left as it was, and the accumulator starts afresh.
  std::size_t words = needed / 2;
  for (std::size_t i = 0; i < PACKET_MAX_WORDS; ++i) {
    std::uint16_t expected =
        i < words ? static_cast<std::uint16_t>(model.accumulated[2 * i] |
                                               model.accumulated[2 * i + 1] << 8)
                  : before[i];
    FUZZ_CHECK(out[i] == expected);
  }
  FUZZ_CHECK(accumulator.count == 0);

  // The acceptance path: a packet is taken only when its words add up to 0 modulo 2^16.
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < words; ++i) sum += out[i];
  FUZZ_CHECK(packet_is_valid(out) == ((sum & 0xFFFF) == 0));
  model.accumulated.clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ReceiveAccumulator accumulator;
  Model model;
  // out carries over from one packet to the next, as the response buffer of a run does.
  Packet out{};
  std::size_t at = 0;
  while (at < size) {
    std::uint8_t length_byte = data[at++];
    check_piece(accumulator, model, fuzz::take_piece(length_byte, data, size, at), out);
  }
  return 0;
}
