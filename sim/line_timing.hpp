#pragma once
// When bytes may move, for --pace, --fragment and --latency. A paced line carries one byte per
// 10 bit times; each direction keeps the time at which it is next free. Times are nanoseconds on
// the simulator's monotonic clock.
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

// A USB serial adapter (FTDI-style) between the line and the tool holds what it receives and
// passes it on when its buffer is full or when its latency timer runs out, `latency_ns` after the
// first byte it still holds arrived. The buffer is the payload of one 64-byte full-speed USB
// packet less the two status bytes the adapter puts at its head.
constexpr std::size_t ADAPTER_BUFFER_BYTES = 62;

struct AdapterBuffer {
  std::size_t held = 0;
  std::int64_t first_ns = 0;  // when the first byte held arrived
};

// `count` bytes reach the adapter from the line, the first at first_ns and each next one byte_ns
// later. Returns how many bytes (held before or among these) the adapter has passed on by the time
// the last of them arrived. With latency_ns 0 there is no adapter: every byte passes at once.
std::size_t adapter_receive(AdapterBuffer& buffer, std::size_t count, std::int64_t first_ns,
                            std::int64_t byte_ns, std::int64_t latency_ns);

// When the latency timer passes on what the adapter holds; meaningful while it holds some.
inline std::int64_t adapter_deadline(const AdapterBuffer& buffer, std::int64_t latency_ns) {
  return buffer.first_ns + latency_ns;
}

// How many bytes the latency timer has passed on by now_ns (all held, or none).
std::size_t adapter_expire(AdapterBuffer& buffer, std::int64_t now_ns, std::int64_t latency_ns);

}  // namespace xarveld::sim
