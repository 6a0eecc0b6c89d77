#pragma once
// A packet is a short array of 16-bit words: a header (bits 15..12 the length nibble N, bits 11..0
// the command code), N+1 payload words and a checksum word, N+3 words in all (3 to 18). The
// checksum makes the words of a correct packet add up to 0 modulo 2^16.
#include <array>
#include <cstddef>
#include <cstdint>

namespace xarveld {

constexpr std::size_t PACKET_MAX_WORDS = 18;
constexpr std::size_t PACKET_MAX_BYTES = 2 * PACKET_MAX_WORDS;
using Packet = std::array<std::uint16_t, PACKET_MAX_WORDS>;

// Command codes (the low 12 bits of the header).
constexpr std::uint16_t CMD_DATA = 0x501;
constexpr std::uint16_t CMD_BEGIN = 0x502;
constexpr std::uint16_t CMD_DISCONNECT = 0x503;
constexpr std::uint16_t CMD_ENTER_YENC = 0x504;
constexpr std::uint16_t CMD_PING = 0x50E;
constexpr std::uint16_t CMD_READ_NEXT = 0x639;

// Operation selectors carried in word 1 of CMD_BEGIN.
constexpr std::uint16_t OP_LOAD_SRAM = 0x0000;
constexpr std::uint16_t OP_PROGRAM_FLASH = 0x0100;
constexpr std::uint16_t OP_VERIFY_DATA = 0x0200;
constexpr std::uint16_t OP_VERIFY_CHECKSUM = 0x0300;

// The command code a target puts in the header of its answer to refuse a flash CMD_BEGIN.
constexpr std::uint16_t RESPONSE_REFUSED = 2;

// Word 1 of the loader's answer to CMD_PING; in raw framing it tells a listening loader from noise.
constexpr std::uint16_t PING_RAW_ANSWER = 0x50E;

constexpr std::size_t DATA_BLOCK_BYTES = 32;
// Checksum verification reads the device back as the 16-bit word_sum of each block this long.
constexpr std::size_t CHECKSUM_BLOCK_BYTES = 1024;

constexpr std::size_t packet_word_count(std::uint16_t header) {
  return static_cast<std::size_t>(header >> 12) + 3;
}
constexpr std::uint16_t packet_command_code(std::uint16_t header) { return header & 0x0FFF; }

// The checksum of words 0 to N+1, N taken from words[0].
std::uint16_t packet_checksum(const Packet& words);
bool packet_is_valid(const Packet& words);

// Command builders: header and payload only; send_packet fills in the checksum word.
Packet build_begin(std::uint16_t operation, std::uint16_t device, std::uint32_t start,
                   std::uint32_t limit);
// 32 bytes of image as 16 little-endian words.
Packet build_data(const std::uint8_t* block);
Packet build_disconnect();
Packet build_enter_yenc();
Packet build_ping();
Packet build_read_next();

// The loader's answers, header and payload only. An acknowledgement is the command's code with
// N = 0 and word 1 = 0; a refusal is RESPONSE_REFUSED with the refused command's code in word 1.
Packet build_acknowledgement(std::uint16_t code);
Packet build_refusal(std::uint16_t code);

// The sum, modulo 2^16, of count little-endian words starting at bytes.
std::uint16_t word_sum(const std::uint8_t* bytes, std::size_t count);

// Little-endian conversion between words and bytes; return the byte or word count.
std::size_t packet_to_bytes(const Packet& words, std::size_t word_count, std::uint8_t* bytes);
void words_from_bytes(const std::uint8_t* bytes, std::size_t word_count, std::uint16_t* words);

}  // namespace xarveld
