#pragma once
// The resident loader's behaviour over packets: no I/O, no clock. The line feeds it the bytes of
// each read; it answers with events, in order, for the line to carry out.
//
// Answers:
//   acknowledgement  header = the command's code with N = 0, word 1 = 0, checksum
//                    (CMD_BEGIN: 0502 0000 fafe; CMD_DATA: 0501 0000 faff;
//                     CMD_ENTER_YENC: 0504 0000 fafc; CMD_DISCONNECT: 0503 0000 fafd)
//   refusal          header 0x0002 (code 2, N = 0), word 1 = the refused command's code
//                    (a refused flash CMD_BEGIN: 0002 0502 fafc). Refused are: CMD_BEGIN with an
//                    unknown selector or a device the operation cannot use, CMD_DATA outside a
//                    load or program operation, CMD_READ_NEXT outside a verify operation, and
//                    unknown commands.
//   CMD_PING         0x050E, then the ping code (raw framing; 0x050E unless --ping-code) or
//                    0x050E (yEnc framing)
//   CMD_READ_NEXT    data: 0xF639 and the next 16 words of the device;
//                    checksum: 0x0639 and the 16-bit sum of the words of the next 1 KiB, or of
//                    the whole words left below the limit when less is left.
// Packets that fail their checksum, and lines that hold no whole valid packet, get no answer;
// so do commands that chaos lost or garbled on their way in.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "link/packet.hpp"
#include "sim/faults.hpp"
#include "sim/memory.hpp"
#include "sim/receive.hpp"

namespace xarveld::sim {

enum class Framing { Raw, YEnc };

struct LoaderConfig {
  Framing start_framing = Framing::Raw;  // the framing each session begins in
  FaultOptions faults;
};

enum class Operation { None, LoadSram, ProgramFlash, VerifyData, VerifyChecksum };

// What the last CMD_BEGIN set up.
struct Transfer {
  Operation operation = Operation::None;
  std::uint16_t device = 0;
  std::uint32_t position = 0;
  std::uint32_t limit = 0;
};

// Lost: a command chaos lost on its way in, which the loader never saw.
enum class RecordKind { Raw, YEnc, Junk, Lost };

// One line of the wire log: a packet's words, or junk bytes.
struct WireRecord {
  bool transmitted = false;
  RecordKind kind = RecordKind::Junk;
  std::vector<std::uint16_t> words;
  std::vector<std::uint8_t> bytes;
};

enum class EventKind {
  Record,       // log what arrived
  Send,         // send a frame, in `pieces` pieces, and log `record` as it goes out
  SessionEnd,   // CMD_DISCONNECT was carried out
  HangUp,       // cut the line now; the loader takes nothing more
  StopReading,  // the answer before it was the last: the loader takes nothing more
  Stall,        // the line takes nothing for the --stall-after time, then the loader goes on
};

struct LoaderEvent {
  EventKind kind = EventKind::Record;
  WireRecord record;
  std::vector<std::uint8_t> frame;
  std::uint32_t pieces = 1;
};

struct Loader {
  LoaderConfig config;
  Framing framing = Framing::Raw;
  RawReceiver raw;
  LineReceiver line;
  Transfer transfer;
  Memory memory;
  FaultState faults;
  bool hung_up = false;  // cut the line or stopped reading: it takes nothing more
};

// The answer that stands in for the one chosen by --garbage: a line that does not start with '='.
constexpr char GARBAGE_LINE[] = "?garbled?\r";

void loader_start(Loader& loader, const LoaderConfig& config);

// The bytes of one read of the line.
void loader_receive(Loader& loader, const std::uint8_t* data, std::size_t length,
                    std::vector<LoaderEvent>& events);

// The 16-bit sum, modulo 2^16, of `words` little-endian words. The simulator keeps its own on
// purpose: it is the reference the tool's checksum verification is tested against end to end.
std::uint16_t word_sum(const std::uint8_t* bytes, std::size_t words);

}  // namespace xarveld::sim
