#pragma once
// Frames as a loader would put them on the line, and the commands read back out of the frames
// the tool wrote.
#include <cstdint>
#include <vector>

#include "link/packet.hpp"

namespace xarveld::test {

using Bytes = std::vector<std::uint8_t>;

// The packet with its checksum filled in.
Packet with_checksum(Packet packet);
// A packet whose checksum is off by one.
Packet with_bad_checksum(Packet packet);

Bytes raw_frame(const Packet& complete_packet);
Bytes yenc_frame(const Packet& complete_packet);

// The words of a frame the tool wrote, raw or yEnc.
Packet command_in_frame(const Bytes& frame);

// A response packet of the given header and payload, checksum filled in.
Packet response(std::uint16_t header, std::vector<std::uint16_t> payload = {0});

}  // namespace xarveld::test
