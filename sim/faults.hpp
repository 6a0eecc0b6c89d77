#pragma once
// The faults the simulated loader can be told to commit, and the decisions that follow from them.
// Commands are counted from 1 per command code and answers from 1 over all answers, both over the
// whole life of the simulator (sessions do not restart the counts). Chaos draws come from a
// seeded splitmix64, so a run repeats exactly from its seed on any machine.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "link/packet.hpp"

namespace xarveld::sim {

// The K-th occurrences (counting from 1) of commands with one code.
struct CodeOccurrences {
  std::uint16_t code = 0;
  std::vector<std::uint32_t> occurrences;
};

// A byte read back wrong at a device offset, `times` times, or on every read when times < 0.
struct FlipSpec {
  std::uint16_t device = 0;
  std::uint32_t offset = 0;
  std::int64_t times = -1;
};

// Drop, Corrupt and Fragment damage the answer of a command that was carried out; LoseCommand
// and GarbleCommand damage the command on its way in, so that the loader never acts on it.
enum class ChaosKind { None, Drop, Corrupt, Fragment, LoseCommand, GarbleCommand };

struct FaultOptions {
  bool silent = false;
  std::uint16_t ping_code = PING_RAW_ANSWER;  // word 1 of a raw-framing CMD_PING answer
  bool refuse_flash = false;
  std::vector<CodeOccurrences> drops;
  std::vector<CodeOccurrences> corrupts;
  std::uint32_t wrong_channel_answer = 0;  // 0: never
  std::uint32_t garbage_answer = 0;        // 0: never
  std::uint32_t fragment_pieces = 1;
  std::vector<FlipSpec> flips;
  std::uint32_t short_read_answer = 0;  // 0: never; counts CMD_READ_NEXT block answers
  std::uint16_t hangup_code = 0;
  std::uint32_t hangup_occurrence = 0;  // 0: never
  std::uint16_t stop_reading_code = 0;
  std::uint32_t stop_reading_occurrence = 0;  // 0: never
  std::uint16_t stall_code = 0;
  std::uint32_t stall_occurrence = 0;  // 0: never
  std::uint32_t stall_ms = 0;          // how long the loader then takes nothing
  std::uint64_t seed = 0;
  double chaos = 0.0;  // probability that chaos strikes a command or its answer
  // What chaos may do, drawn uniformly. Leaving out drops keeps a soak fast: every lost answer
  // costs the tool a 20-s wait, and so does every command lost or garbled on its way in.
  std::vector<ChaosKind> chaos_kinds = {ChaosKind::Drop, ChaosKind::Corrupt, ChaosKind::Fragment};
};

struct Prng {
  std::uint64_t state = 0;
};
std::uint64_t prng_next(Prng& prng);
// Uniform in [0, 1).
double prng_unit(Prng& prng);

struct CodeCount {
  std::uint16_t code = 0;
  std::uint32_t count = 0;
};

struct FaultState {
  std::vector<CodeCount> command_counts;
  std::uint32_t answers = 0;
  std::uint32_t read_next_answers = 0;
  std::vector<std::int64_t> flips_left;  // one per FaultOptions::flips
  Prng prng;
};

FaultState fault_state_start(const FaultOptions& options);

// What becomes of one valid command, decided when it arrives. Chaos is drawn for every one, so
// that the sequence of draws depends only on the traffic; a command it loses or garbles on its
// way in never reached the loader and is not counted for K.
struct CommandFate {
  ChaosKind chaos = ChaosKind::None;
  bool drop_answer = false;
  bool corrupt_answer = false;
  bool hang_up = false;  // the line is cut once the command has been carried out
  bool stop_reading = false;  // the loader takes nothing more once the command is answered
  bool stall = false;  // the loader takes nothing for a while once the command is answered
};
CommandFate fault_count_command(FaultState& state, const FaultOptions& options,
                                std::uint16_t code);
// True when chaos lost or garbled the command before the loader could act on it.
bool fault_command_damaged(const CommandFate& fate);

// What becomes of one answer, decided when the loader has made it.
struct AnswerFate {
  bool drop = false;
  bool corrupt = false;
  bool wrong_channel = false;
  bool garbage = false;
  std::uint32_t pieces = 1;
};
AnswerFate fault_count_answer(FaultState& state, const FaultOptions& options,
                              const CommandFate& command);

// Counts one CMD_READ_NEXT block answer; true when it is the one to be cut short.
bool fault_count_block_answer(FaultState& state, const FaultOptions& options);

// The bytes of a block read back from `device` at offsets start.. start+count-1: each flip that
// falls in it and has times left turns its byte wrong and uses up one time.
void fault_apply_flips(FaultState& state, const FaultOptions& options, std::uint16_t device,
                       std::uint32_t start, std::uint8_t* bytes, std::size_t count);

}  // namespace xarveld::sim
