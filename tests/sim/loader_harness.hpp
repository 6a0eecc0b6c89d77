#pragma once
// Drives a Loader over its packet interface: frames commands as the tool would and reads back
// what the loader sends.
#include <cstdint>
#include <string>
#include <vector>

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

inline Bytes raw_frame(const Packet& command) {
  Packet packet = sealed(command);
  std::uint8_t bytes[PACKET_MAX_BYTES];
  std::size_t length = packet_to_bytes(packet, packet_word_count(packet[0]), bytes);
  return Bytes(bytes, bytes + length);
}

inline Bytes yenc_frame(const Packet& command) {
  Bytes raw = raw_frame(command);
  std::uint8_t frame[YENC_FRAME_CAPACITY];
  std::size_t length = yenc_encode_frame(frame, raw.data(), raw.size());
  return Bytes(frame, frame + length);
}

inline Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

inline Loader make_loader(const FaultOptions& faults = {}, Framing start = Framing::Raw) {
  LoaderConfig config;
  config.start_framing = start;
  config.faults = faults;
  Loader loader;
  loader_start(loader, config);
  return loader;
}

inline std::vector<LoaderEvent> feed(Loader& loader, const Bytes& bytes) {
  std::vector<LoaderEvent> events;
  loader_receive(loader, bytes.data(), bytes.size(), events);
  return events;
}

inline std::vector<LoaderEvent> sends(const std::vector<LoaderEvent>& events) {
  std::vector<LoaderEvent> out;
  for (const LoaderEvent& event : events) {
    if (event.kind == EventKind::Send) out.push_back(event);
  }
  return out;
}

// The words of a sent frame, read back as the tool would: raw bytes, or a 'G' line decoded.
// Empty when the frame is neither.
inline Words answer_words(const LoaderEvent& send) {
  Bytes bytes = send.frame;
  if (!bytes.empty() && bytes[0] == '=') {
    if (bytes.size() < 3 || bytes[1] != 'G' || bytes.back() != '\r') return {};
    std::uint8_t decoded[256];
    std::size_t length = yenc_decode(decoded, &bytes[2], bytes.size() - 3);
    bytes.assign(decoded, decoded + length);
  }
  if (bytes.size() < 2 || bytes.size() % 2 != 0) return {};
  Words words(bytes.size() / 2);
  words_from_bytes(bytes.data(), words.size(), words.data());
  return words;
}

// Feeds one command and returns the words of every answer sent for it.
inline std::vector<Words> answers_to(Loader& loader, const Bytes& frame) {
  std::vector<Words> answers;
  for (const LoaderEvent& send : sends(feed(loader, frame))) answers.push_back(answer_words(send));
  return answers;
}

inline Packet data_packet(const Bytes& block) { return build_data(block.data()); }

inline Bytes pattern(std::size_t length, std::uint8_t seed) {
  Bytes bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
  return bytes;
}

inline bool answer_is_valid(const Words& words) {
  if (words.empty() || words.size() != packet_word_count(words[0])) return false;
  Packet packet{};
  std::copy(words.begin(), words.end(), packet.begin());
  return packet_is_valid(packet);
}

}  // namespace xarveld::sim::harness
