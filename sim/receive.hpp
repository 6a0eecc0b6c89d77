#pragma once
// The loader's two receivers, one per framing. Each takes the bytes of one read of the line and
// reports what they made: whole valid packets, and junk (bytes that formed no valid packet).
//
// Raw framing assembles packets exactly as the tool's own raw assembly does (assemble_raw): two
// bytes give the header, its length nibble gives the packet's length, and a completed packet
// empties the accumulator together with whatever else came in the same read. That is also how
// it recovers from garbage: the garbage is taken as one bogus packet, fails its checksum, and the
// tool's next attempt finds an empty accumulator.
//
// yEnc framing is line-oriented: a line runs from '=' to CR. Bytes outside a line are junk. Inside
// a line '=' escapes the byte after it, except that "=G" never is an escape pair (a yEnc escape
// is followed only by 0x40, 0x49, 0x4A, 0x4D or 0x7D), so "=G" always starts a new line and drops
// the unfinished one: a line cut short by noise does not swallow the next good one.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "link/framing.hpp"
#include "link/packet.hpp"

namespace xarveld::sim {

enum class FrameKind { Packet, Junk };

struct ReceivedFrame {
  FrameKind kind = FrameKind::Junk;
  Packet packet{};                  // kind Packet: the words, checksum valid
  std::vector<std::uint8_t> bytes;  // kind Junk: the bytes as they arrived
};

struct RawReceiver {
  ReceiveAccumulator accumulator;
};

// Takes all of one read's bytes.
void raw_receive(RawReceiver& receiver, const std::uint8_t* data, std::size_t length,
                 std::vector<ReceivedFrame>& frames);

// A line longer than this holds no packet (the longest frame of a packet is 75 bytes).
constexpr std::size_t LINE_CAPACITY = 258;

struct LineReceiver {
  bool in_line = false;
  bool after_escape = false;
  std::vector<std::uint8_t> line;     // from its '=' on
  std::vector<std::uint8_t> skipped;  // bytes outside any line, not reported yet
};

// Takes bytes of one read up to and including the CR of the first line that holds a valid packet
// and returns how many it took, so that the caller can act on the packet (which may change the
// framing) before the rest is read. Once the read's bytes run out, the bytes outside any line are
// reported as junk; an unfinished line waits for the next read.
std::size_t line_receive(LineReceiver& receiver, const std::uint8_t* data, std::size_t length,
                         std::vector<ReceivedFrame>& frames);

}  // namespace xarveld::sim
