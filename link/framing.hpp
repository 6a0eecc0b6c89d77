#pragma once
// Packets travel either as their bare little-endian bytes (raw framing) or as one text-safe line
// (yEnc framing): '=', the channel 'G', the packet bytes escaped by the yEnc rule, and a CR.
// Incoming bytes arrive in arbitrary pieces; the pure assembly steps here turn them back into
// response packets, and receive.hpp drives them from the port.
#include <array>
#include <cstddef>
#include <cstdint>

#include "link/packet.hpp"

namespace xarveld {

enum class LinkMode { Raw, YEnc };

// The framing of the line; starts Raw, changed only by connection setup.
LinkMode link_mode();
void set_link_mode(LinkMode mode);

constexpr std::uint8_t YENC_ESCAPE = '=';
constexpr std::uint8_t YENC_CHANNEL = 'G';
constexpr std::uint8_t LINE_END = '\r';
// The longest frame of an 18-word packet is 75 bytes.
constexpr std::size_t YENC_FRAME_CAPACITY = 256;

// Writes '=', 'G', the encoded bytes and a CR into frame, then a zero byte; returns the frame
// length with the CR and without the zero byte.
std::size_t yenc_encode_frame(std::uint8_t* frame, const std::uint8_t* bytes, std::size_t length);

// Decodes length input bytes (an escape pair counts as two) into out and returns the number of
// bytes written. An escape in the last counted position pairs with in[length], which the caller
// must be able to read.
std::size_t yenc_decode(std::uint8_t* out, const std::uint8_t* in, std::size_t length);

// What receive_packet and the assembly steps report.
constexpr int RECEIVE_COMPLETE = 1;      // a packet (raw) or a line on channel 'G' (yEnc) is in out
constexpr int RECEIVE_NOTHING = 0;       // nothing usable was read
constexpr int RECEIVE_PENDING = -1;      // the packet or line is still incomplete
constexpr int RECEIVE_INVALID_LINE = 2;  // a completed yEnc line held no packet
constexpr int RECEIVE_READ_FAILED = -2;  // the port read failed
constexpr int RECEIVE_NO_PORT = -3;      // the port is not open

// Room for 258 received bytes plus the zero byte kept after the last stored one in yEnc framing.
constexpr std::size_t RECEIVE_ACCUMULATOR_SIZE = 258;
struct ReceiveAccumulator {
  std::array<std::uint8_t, RECEIVE_ACCUMULATOR_SIZE + 1> bytes{};
  std::size_t count = 0;
};

enum class LineKind {
  Message,       // starts with '=' on channel 'G'
  WrongChannel,  // starts with '=' on another channel
  NotAMessage,   // does not start with '='
};

// A completed yEnc line as it was stored, zero-terminated for its trace records.
struct CompletedLine {
  std::array<char, RECEIVE_ACCUMULATOR_SIZE + 1> text{};
  std::size_t length = 0;
  LineKind kind = LineKind::NotAMessage;
};

// The assembly steps: pure functions of (accumulator, new bytes). On RECEIVE_COMPLETE the packet's
// words are in out; its checksum is the caller's to test. The accumulator is emptied only by a
// completed packet or line; bytes after it in the same piece are discarded.
int assemble_raw(ReceiveAccumulator& accumulator, const std::uint8_t* data, std::size_t length,
                 Packet& out);
// Also returns RECEIVE_INVALID_LINE, and fills line whenever a line completes.
int assemble_yenc(ReceiveAccumulator& accumulator, const std::uint8_t* data, std::size_t length,
                  Packet& out, CompletedLine& line);

// Frames cmd's word_count words by the current LinkMode into frame; returns the frame length.
std::size_t frame_packet(const Packet& cmd, std::size_t word_count, std::uint8_t* frame);

}  // namespace xarveld
