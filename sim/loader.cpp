#include "sim/loader.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "link/framing.hpp"

namespace xarveld::sim {

namespace {
// A channel the tool does not accept, for --wrong-channel.
constexpr std::uint8_t WRONG_CHANNEL = 'H';
constexpr std::uint16_t DATA_HEADER = 0xF000 | CMD_DATA;

Packet sealed(Packet packet) {
  packet[packet_word_count(packet[0]) - 1] = packet_checksum(packet);
  return packet;
}

Packet acknowledgement(std::uint16_t code) { return sealed(build_acknowledgement(code)); }
Packet refusal(std::uint16_t code) { return sealed(build_refusal(code)); }

std::uint32_t low_word_first(const Packet& packet, std::size_t index) {
  return static_cast<std::uint32_t>(packet[index]) |
         static_cast<std::uint32_t>(packet[index + 1]) << 16;
}

std::uint32_t bytes_left(const Transfer& transfer) {
  return transfer.position < transfer.limit ? transfer.limit - transfer.position : 0;
}

Packet begin_transfer(Loader& loader, const Packet& command) {
  std::uint16_t selector = command[1];
  std::uint16_t device = command[2];
  Transfer transfer;
  bool usable = false;
  switch (selector) {
    case OP_LOAD_SRAM:
      transfer.operation = Operation::LoadSram;
      usable = device == SRAM_DEVICE;
      break;
    case OP_PROGRAM_FLASH:
      transfer.operation = Operation::ProgramFlash;
      usable = device != SRAM_DEVICE && device_exists(device) && !loader.config.faults.refuse_flash;
      break;
    case OP_VERIFY_DATA:
      transfer.operation = Operation::VerifyData;
      usable = device_exists(device);
      break;
    case OP_VERIFY_CHECKSUM:
      transfer.operation = Operation::VerifyChecksum;
      usable = device_exists(device);
      break;
    default:
      break;
  }
  // A refused CMD_BEGIN also ends whatever transfer was going on: nothing after it may land in
  // the device that was announced before.
  if (!usable) {
    loader.transfer = Transfer{};
    return refusal(CMD_BEGIN);
  }
  transfer.device = device;
  transfer.position = low_word_first(command, 3);
  transfer.limit = low_word_first(command, 5);
  loader.transfer = transfer;
  return acknowledgement(CMD_BEGIN);
}

// The block is written whole: the limit of the SRAM load's opening CMD_BEGIN is a length
// (size - 2048) while every other limit is an end offset, so only the device's end bounds writes.
Packet write_block(Loader& loader, const Packet& command) {
  Transfer& transfer = loader.transfer;
  bool writing = transfer.operation == Operation::LoadSram ||
                 transfer.operation == Operation::ProgramFlash;
  if (!writing || command[0] != DATA_HEADER) return refusal(CMD_DATA);
  Packet payload{};
  std::copy(command.begin() + 1, command.begin() + 1 + DATA_BLOCK_BYTES / 2, payload.begin());
  std::array<std::uint8_t, DATA_BLOCK_BYTES> block{};
  packet_to_bytes(payload, DATA_BLOCK_BYTES / 2, block.data());
  memory_write(loader.memory, transfer.device, transfer.position, block.data(), block.size());
  transfer.position += DATA_BLOCK_BYTES;
  return acknowledgement(CMD_DATA);
}

Packet read_data_block(Loader& loader, bool short_read) {
  Transfer& transfer = loader.transfer;
  std::array<std::uint8_t, DATA_BLOCK_BYTES> block{};
  memory_read(loader.memory, transfer.device, transfer.position, block.data(), block.size());
  fault_apply_flips(loader.faults, loader.config.faults, transfer.device, transfer.position,
                    block.data(), block.size());
  std::size_t words = DATA_BLOCK_BYTES / 2;
  if (short_read) {
    // Fewer words than the tool will compare in this block, which may be the last and short one.
    std::size_t needed = std::min<std::size_t>(words, bytes_left(transfer) / 2);
    words = std::max<std::size_t>(needed / 2, 1);
  }
  Packet answer{};
  answer[0] = static_cast<std::uint16_t>((words - 1) << 12 | CMD_READ_NEXT);
  words_from_bytes(block.data(), words, &answer[1]);
  transfer.position += DATA_BLOCK_BYTES;
  return sealed(answer);
}

// A checksum answer is a single word already; it cannot be cut short.
Packet read_checksum_block(Loader& loader) {
  Transfer& transfer = loader.transfer;
  std::size_t count = std::min<std::size_t>(CHECKSUM_BLOCK_BYTES, bytes_left(transfer)) & ~1u;
  std::array<std::uint8_t, CHECKSUM_BLOCK_BYTES> block{};
  memory_read(loader.memory, transfer.device, transfer.position, block.data(), count);
  fault_apply_flips(loader.faults, loader.config.faults, transfer.device, transfer.position,
                    block.data(), count);
  Packet answer{};
  answer[0] = CMD_READ_NEXT;
  answer[1] = word_sum(block.data(), count / 2);
  transfer.position += CHECKSUM_BLOCK_BYTES;
  return sealed(answer);
}

Packet read_next_block(Loader& loader) {
  Operation operation = loader.transfer.operation;
  if (operation != Operation::VerifyData && operation != Operation::VerifyChecksum) {
    return refusal(CMD_READ_NEXT);
  }
  bool short_read = fault_count_block_answer(loader.faults, loader.config.faults);
  if (operation == Operation::VerifyChecksum) return read_checksum_block(loader);
  return read_data_block(loader, short_read);
}

Packet ping_answer(const Loader& loader) {
  Packet answer{};
  answer[0] = CMD_PING;
  answer[1] = loader.framing == Framing::Raw ? loader.config.faults.ping_code : PING_RAW_ANSWER;
  return sealed(answer);
}

// Acts on one valid command and makes its answer.
Packet carry_out(Loader& loader, const Packet& command) {
  std::uint16_t code = packet_command_code(command[0]);
  switch (code) {
    case CMD_PING: return ping_answer(loader);
    case CMD_BEGIN: return begin_transfer(loader, command);
    case CMD_DATA: return write_block(loader, command);
    case CMD_READ_NEXT: return read_next_block(loader);
    case CMD_ENTER_YENC:
    case CMD_DISCONNECT: return acknowledgement(code);
    default: return refusal(code);
  }
}

WireRecord packet_record(bool transmitted, Framing framing, const Packet& packet) {
  WireRecord record;
  record.transmitted = transmitted;
  record.kind = framing == Framing::Raw ? RecordKind::Raw : RecordKind::YEnc;
  record.words.assign(packet.begin(),
                      packet.begin() + static_cast<std::ptrdiff_t>(packet_word_count(packet[0])));
  return record;
}

// The packet's bytes as they go on the line in this framing.
std::vector<std::uint8_t> framed(Framing framing, const Packet& packet) {
  std::uint8_t bytes[PACKET_MAX_BYTES];
  std::size_t length = packet_to_bytes(packet, packet_word_count(packet[0]), bytes);
  if (framing == Framing::Raw) return std::vector<std::uint8_t>(bytes, bytes + length);
  std::uint8_t frame[YENC_FRAME_CAPACITY];
  return std::vector<std::uint8_t>(frame, frame + yenc_encode_frame(frame, bytes, length));
}

void send_answer(Loader& loader, Packet answer, const CommandFate& command_fate,
                 std::vector<LoaderEvent>& events) {
  AnswerFate fate = fault_count_answer(loader.faults, loader.config.faults, command_fate);
  if (fate.drop) return;
  // Damaged on the way back: the command itself was carried out, as a real loader acts first
  // and answers after.
  if (fate.corrupt) ++answer[packet_word_count(answer[0]) - 1];

  LoaderEvent event;
  event.kind = EventKind::Send;
  event.pieces = fate.pieces;
  event.record = packet_record(true, loader.framing, answer);
  event.frame = framed(loader.framing, answer);
  if (fate.wrong_channel && loader.framing == Framing::YEnc) event.frame[1] = WRONG_CHANNEL;
  if (fate.garbage) {
    event.frame.assign(GARBAGE_LINE, GARBAGE_LINE + sizeof GARBAGE_LINE - 1);
    event.record.kind = RecordKind::Junk;
    event.record.words.clear();
    event.record.bytes = event.frame;
  }
  events.push_back(std::move(event));
}

// Chaos lost the command on its way in, or garbled it so that its checksum fails. Either way the
// loader never acts on it and answers nothing, as it does with any frame that holds no valid
// packet; a garbled one is logged as the junk it arrived as.
void receive_damaged(const Loader& loader, Packet command, ChaosKind chaos,
                     std::vector<LoaderEvent>& events) {
  LoaderEvent received;
  received.record = packet_record(false, loader.framing, command);
  if (chaos == ChaosKind::LoseCommand) {
    received.record.kind = RecordKind::Lost;
  } else {
    ++command[packet_word_count(command[0]) - 1];
    received.record.kind = RecordKind::Junk;
    received.record.words.clear();
    received.record.bytes = framed(loader.framing, command);
  }
  events.push_back(std::move(received));
}

void clear_receivers(Loader& loader) {
  loader.raw = RawReceiver{};
  loader.line = LineReceiver{};
}

void take_nothing_more(Loader& loader, EventKind why, std::vector<LoaderEvent>& events) {
  LoaderEvent last;
  last.kind = why;
  events.push_back(std::move(last));
  loader.hung_up = true;
}

void handle_packet(Loader& loader, const Packet& command, std::vector<LoaderEvent>& events) {
  std::uint16_t code = packet_command_code(command[0]);
  CommandFate fate = fault_count_command(loader.faults, loader.config.faults, code);
  if (fault_command_damaged(fate)) return receive_damaged(loader, command, fate.chaos, events);
  LoaderEvent received;
  received.record = packet_record(false, loader.framing, command);
  events.push_back(std::move(received));

  Packet answer = carry_out(loader, command);
  if (fate.hang_up) return take_nothing_more(loader, EventKind::HangUp, events);
  send_answer(loader, answer, fate, events);
  if (fate.stop_reading) return take_nothing_more(loader, EventKind::StopReading, events);
  if (fate.stall) {
    LoaderEvent stall;
    stall.kind = EventKind::Stall;
    events.push_back(std::move(stall));
  }

  // Acknowledged in the old framing; everything after it is in yEnc.
  if (code == CMD_ENTER_YENC && loader.framing == Framing::Raw) {
    loader.framing = Framing::YEnc;
    clear_receivers(loader);
  }
  if (code == CMD_DISCONNECT) {
    loader.framing = loader.config.start_framing;
    loader.transfer = Transfer{};
    clear_receivers(loader);
    LoaderEvent end;
    end.kind = EventKind::SessionEnd;
    events.push_back(std::move(end));
  }
}
}  // namespace

void loader_start(Loader& loader, const LoaderConfig& config) {
  loader.config = config;
  loader.framing = config.start_framing;
  clear_receivers(loader);
  loader.transfer = Transfer{};
  loader.memory = Memory{};
  loader.faults = fault_state_start(config.faults);
  loader.hung_up = false;
}

void loader_receive(Loader& loader, const std::uint8_t* data, std::size_t length,
                    std::vector<LoaderEvent>& events) {
  std::size_t used = 0;
  while (used < length && !loader.hung_up) {
    std::vector<ReceivedFrame> frames;
    // A packet may change the framing; the rest of the read goes to the receiver then in use.
    std::size_t took = length - used;
    if (loader.framing == Framing::Raw) {
      raw_receive(loader.raw, data + used, took, frames);
    } else {
      took = line_receive(loader.line, data + used, took, frames);
    }
    used += took;
    for (const ReceivedFrame& frame : frames) {
      if (loader.hung_up) break;
      if (frame.kind == FrameKind::Packet) {
        handle_packet(loader, frame.packet, events);
        continue;
      }
      LoaderEvent junk;
      junk.record.kind = RecordKind::Junk;
      junk.record.bytes = frame.bytes;
      events.push_back(std::move(junk));
    }
  }
}

// Low bytes and high bytes added apart: a sum worked out otherwise than the tool's word_sum.
std::uint16_t word_sum(const std::uint8_t* bytes, std::size_t words) {
  unsigned low = 0;
  unsigned high = 0;
  for (std::size_t i = 0; i < words; ++i) {
    low += bytes[2 * i];
    high += bytes[2 * i + 1];
  }
  return static_cast<std::uint16_t>(low + (high << 8));
}

}  // namespace xarveld::sim
