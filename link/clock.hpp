#pragma once
// The clock of every deadline: monotonic, read in whole milliseconds and expressed in 100-ns
// ticks, so a change of the wall clock can neither cut a wait short nor stretch it.
// One source file per platform; unit tests link a controllable clock in its place.
#include <cstdint>

namespace xarveld {

constexpr std::uint64_t TICKS_PER_MILLISECOND = 10000;
constexpr std::uint64_t TICKS_PER_SECOND = 1000 * TICKS_PER_MILLISECOND;

std::uint64_t clock_ticks();

}  // namespace xarveld
