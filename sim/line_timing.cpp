#include "sim/line_timing.hpp"

#include <algorithm>

namespace xarveld::sim {

namespace {
constexpr std::int64_t NS_PER_SECOND = 1000000000;
constexpr std::int64_t BITS_PER_BYTE = 10;  // start bit, 8 data bits, stop bit
}  // namespace

std::int64_t byte_time_ns(std::uint32_t baud) {
  if (baud == 0) return 0;
  return (BITS_PER_BYTE * NS_PER_SECOND + baud - 1) / baud;
}

std::vector<std::size_t> fragment_sizes(std::size_t length, std::uint32_t pieces) {
  std::size_t count = std::min<std::size_t>(std::max<std::uint32_t>(pieces, 1), length);
  std::vector<std::size_t> sizes;
  for (std::size_t i = 0; i < count; ++i) {
    sizes.push_back(length / count + (i < length % count ? 1 : 0));
  }
  return sizes;
}

std::size_t bytes_due(std::int64_t now_ns, std::int64_t ready_ns, std::int64_t byte_ns,
                      std::size_t pending, std::int64_t& line_free_ns,
                      std::int64_t& next_due_ns) {
  std::int64_t start = std::max(line_free_ns, ready_ns);
  std::size_t due = 0;
  if (byte_ns == 0) {
    due = now_ns >= start ? pending : 0;
  } else if (now_ns >= start + byte_ns) {
    due = std::min<std::size_t>(pending, static_cast<std::size_t>((now_ns - start) / byte_ns));
  }
  if (due > 0) line_free_ns = start + static_cast<std::int64_t>(due) * byte_ns;
  next_due_ns = std::max(line_free_ns, ready_ns) + byte_ns;
  return due;
}

std::int64_t arrival_time(std::int64_t now_ns, std::int64_t byte_ns, std::size_t count,
                          std::int64_t& line_free_ns) {
  line_free_ns = std::max(line_free_ns, now_ns) + static_cast<std::int64_t>(count) * byte_ns;
  return line_free_ns;
}

std::size_t adapter_receive(AdapterBuffer& buffer, std::size_t count, std::int64_t first_ns,
                            std::int64_t byte_ns, std::int64_t latency_ns) {
  if (latency_ns == 0) return count;
  std::size_t passed = 0;
  for (std::size_t i = 0; i < count; ++i) {
    std::int64_t arrived = first_ns + static_cast<std::int64_t>(i) * byte_ns;
    passed += adapter_expire(buffer, arrived, latency_ns);
    if (buffer.held == 0) buffer.first_ns = arrived;
    if (++buffer.held == ADAPTER_BUFFER_BYTES) {
      passed += buffer.held;
      buffer.held = 0;
    }
  }
  return passed;
}

std::size_t adapter_expire(AdapterBuffer& buffer, std::int64_t now_ns, std::int64_t latency_ns) {
  if (buffer.held == 0 || now_ns < adapter_deadline(buffer, latency_ns)) return 0;
  std::size_t passed = buffer.held;
  buffer.held = 0;
  return passed;
}

}  // namespace xarveld::sim
