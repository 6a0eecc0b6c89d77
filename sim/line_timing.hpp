#pragma once
// When bytes may move, for --pace and --fragment. A paced line carries one byte per 10 bit
// times; each direction keeps the time at which it is next free. Times are nanoseconds on the
// simulator's monotonic clock.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace xarveld::sim {

// The gap between the pieces of a fragmented answer.
constexpr std::int64_t FRAGMENT_GAP_NS = 3000000;

// 0 when the line is not paced.
std::int64_t byte_time_ns(std::uint32_t baud);

// The sizes of `pieces` pieces of a frame of `length` bytes, as equal as they come, none empty.
std::vector<std::size_t> fragment_sizes(std::size_t length, std::uint32_t pieces);

// Sending: of `pending` bytes that may start no earlier than `ready_ns`, how many the line has
// finished carrying by `now_ns`. Moves line_free_ns past them; next_due_ns is when the next one
// will be through (meaningful while some are left).
std::size_t bytes_due(std::int64_t now_ns, std::int64_t ready_ns, std::int64_t byte_ns,
                      std::size_t pending, std::int64_t& line_free_ns,
                      std::int64_t& next_due_ns);

// Receiving: `count` bytes seen at now_ns have all arrived, on a line that was busy until
// line_free_ns, at the returned time, which becomes the new line_free_ns.
std::int64_t arrival_time(std::int64_t now_ns, std::int64_t byte_ns, std::size_t count,
                          std::int64_t& line_free_ns);

}  // namespace xarveld::sim
