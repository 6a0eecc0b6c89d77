#pragma once
// Drives a Loader over its packet interface: frames commands as the tool would and reads back
// what the loader sends.
#include <algorithm>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "link/framing.hpp"
#include "link/packet.hpp"
#include "sim/loader.hpp"

namespace xarveld::sim::harness {

using Bytes = std::vector<std::uint8_t>;
using Words = std::vector<std::uint16_t>;

inline Packet sealed(Packet packet) {
  packet[packet_word_count(packet[0]) - 1] = packet_checksum(packet);
  return packet;
}

inline Words words_of(const Packet& packet) {
  return Words(packet.begin(), packet.begin() + static_cast<long>(packet_word_count(packet[0])));
}

// Header and payload words, checksum added.
inline Words with_checksum(const Words& words) {
  Packet packet{};
  std::copy(words.begin(), words.end(), packet.begin());
  return words_of(sealed(packet));
}
inline Words ack(std::uint16_t code) { return words_of(sealed(build_acknowledgement(code))); }
inline Words refusal(std::uint16_t code) { return words_of(sealed(build_refusal(code))); }

inline Bytes raw_frame(const Packet& command) {
  Packet packet = sealed(command);
  std::uint8_t bytes[PACKET_MAX_BYTES];
  return Bytes(bytes, bytes + packet_to_bytes(packet, packet_word_count(packet[0]), bytes));
}

inline Bytes yenc_frame(const Packet& command) {
  Bytes raw = raw_frame(command);
  std::uint8_t frame[YENC_FRAME_CAPACITY];
  return Bytes(frame, frame + yenc_encode_frame(frame, raw.data(), raw.size()));
}

inline Bytes pattern(std::size_t length, std::uint8_t seed) {
  Bytes bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
  return bytes;
}

inline Packet data_packet(const Bytes& bytes, std::size_t offset = 0) {
  return build_data(bytes.data() + offset);
}

inline Loader make_loader(const FaultOptions& faults = {}, Framing start = Framing::Raw) {
  Loader loader;
  loader_start(loader, LoaderConfig{start, faults});
  return loader;
}

inline std::vector<LoaderEvent> feed(Loader& loader, const Bytes& bytes) {
  std::vector<LoaderEvent> events;
  loader_receive(loader, bytes.data(), bytes.size(), events);
  return events;
}

inline std::vector<LoaderEvent> sends(const std::vector<LoaderEvent>& events) {
  std::vector<LoaderEvent> out;
  std::copy_if(events.begin(), events.end(), std::back_inserter(out),
               [](const LoaderEvent& event) { return event.kind == EventKind::Send; });
  return out;
}

// The words of a sent frame, read back as the tool would: raw bytes, or a 'G' line decoded.
// Empty when the frame is neither.
inline Words answer_words(const LoaderEvent& send) {
  Bytes bytes = send.frame;
  if (!bytes.empty() && bytes[0] == '=') {
    if (bytes.size() < 3 || bytes[1] != 'G' || bytes.back() != '\r') return {};
    std::uint8_t decoded[256];
    bytes.assign(decoded, decoded + yenc_decode(decoded, &bytes[2], bytes.size() - 3));
  }
  if (bytes.size() < 2 || bytes.size() % 2 != 0) return {};
  Words words(bytes.size() / 2);
  words_from_bytes(bytes.data(), words.size(), words.data());
  return words;
}

// Feeds one command; the words of its one answer, or nothing when there was no answer.
inline Words answer(Loader& loader, const Bytes& frame) {
  std::vector<LoaderEvent> out = sends(feed(loader, frame));
  if (out.size() > 1) ADD_FAILURE() << out.size() << " answers to one command";
  if (out.size() != 1) return {};
  return answer_words(out[0]);
}

inline bool answer_is_valid(const Words& words) {
  if (words.empty() || words.size() != packet_word_count(words[0])) return false;
  Packet packet{};
  std::copy(words.begin(), words.end(), packet.begin());
  return packet_is_valid(packet);
}

// Programs `image` (a whole number of blocks) into a flash device from offset 0.
inline void program(Loader& loader, std::uint16_t device, const Bytes& image) {
  answer(loader, raw_frame(build_begin(OP_PROGRAM_FLASH, device, 0,
                                       static_cast<std::uint32_t>(image.size()))));
  for (std::size_t offset = 0; offset < image.size(); offset += DATA_BLOCK_BYTES) {
    answer(loader, raw_frame(data_packet(image, offset)));
  }
}

}  // namespace xarveld::sim::harness
