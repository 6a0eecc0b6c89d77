#include "sim/faults.hpp"

#include <algorithm>

namespace xarveld::sim {

namespace {
// Chaos fragments an answer into this many pieces unless --fragment asks for more.
constexpr std::uint32_t CHAOS_FRAGMENT_PIECES = 3;

bool listed(const std::vector<CodeOccurrences>& lists, std::uint16_t code, std::uint32_t count) {
  for (const CodeOccurrences& list : lists) {
    if (list.code != code) continue;
    if (std::find(list.occurrences.begin(), list.occurrences.end(), count) !=
        list.occurrences.end()) {
      return true;
    }
  }
  return false;
}

std::uint32_t next_count(FaultState& state, std::uint16_t code) {
  for (CodeCount& entry : state.command_counts) {
    if (entry.code == code) return ++entry.count;
  }
  state.command_counts.push_back({code, 1});
  return 1;
}
}  // namespace

std::uint64_t prng_next(Prng& prng) {
  prng.state += 0x9E3779B97F4A7C15ULL;
  std::uint64_t z = prng.state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

double prng_unit(Prng& prng) {
  // The top 53 bits fill a double's mantissa exactly.
  return static_cast<double>(prng_next(prng) >> 11) * (1.0 / 9007199254740992.0);
}

FaultState fault_state_start(const FaultOptions& options) {
  FaultState state;
  for (const FlipSpec& flip : options.flips) state.flips_left.push_back(flip.times);
  state.prng.state = options.seed;
  return state;
}

CommandFate fault_count_command(FaultState& state, const FaultOptions& options,
                                std::uint16_t code) {
  CommandFate fate;
  if (options.chaos > 0.0 && prng_unit(state.prng) < options.chaos &&
      !options.chaos_kinds.empty()) {
    fate.chaos = options.chaos_kinds[prng_next(state.prng) % options.chaos_kinds.size()];
  }
  if (fault_command_damaged(fate)) return fate;
  std::uint32_t count = next_count(state, code);
  fate.drop_answer = listed(options.drops, code, count);
  fate.corrupt_answer = listed(options.corrupts, code, count);
  fate.hang_up = options.hangup_occurrence != 0 && code == options.hangup_code &&
                 count == options.hangup_occurrence;
  fate.stop_reading = options.stop_reading_occurrence != 0 && code == options.stop_reading_code &&
                      count == options.stop_reading_occurrence;
  fate.stall = options.stall_occurrence != 0 && code == options.stall_code &&
               count == options.stall_occurrence;
  return fate;
}

bool fault_command_damaged(const CommandFate& fate) {
  return fate.chaos == ChaosKind::LoseCommand || fate.chaos == ChaosKind::GarbleCommand;
}

AnswerFate fault_count_answer(FaultState& state, const FaultOptions& options,
                              const CommandFate& command) {
  std::uint32_t number = ++state.answers;
  AnswerFate fate;
  fate.wrong_channel = number == options.wrong_channel_answer;
  fate.garbage = number == options.garbage_answer;
  fate.pieces = std::max<std::uint32_t>(options.fragment_pieces, 1);
  fate.drop = options.silent || command.drop_answer || command.chaos == ChaosKind::Drop;
  fate.corrupt = command.corrupt_answer || command.chaos == ChaosKind::Corrupt;
  if (command.chaos == ChaosKind::Fragment) {
    fate.pieces = std::max(fate.pieces, CHAOS_FRAGMENT_PIECES);
  }
  return fate;
}

bool fault_count_block_answer(FaultState& state, const FaultOptions& options) {
  return ++state.read_next_answers == options.short_read_answer;
}

void fault_apply_flips(FaultState& state, const FaultOptions& options, std::uint16_t device,
                       std::uint32_t start, std::uint8_t* bytes, std::size_t count) {
  for (std::size_t i = 0; i < options.flips.size(); ++i) {
    const FlipSpec& flip = options.flips[i];
    if (flip.device != device || state.flips_left[i] == 0) continue;
    if (flip.offset < start || flip.offset - start >= count) continue;
    // Every bit inverted: the byte is wrong whatever it held, and so is any 16-bit sum over it.
    bytes[flip.offset - start] ^= 0xFF;
    if (state.flips_left[i] > 0) --state.flips_left[i];
  }
}

}  // namespace xarveld::sim
