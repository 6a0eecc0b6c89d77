// libxarveld-turnaround-probe.so: preloaded into a client (LD_PRELOAD) on a paced line, it times
// the client's own turnaround: from the read() that brings the closing CR of a yEnc answer to the
// write() of the next yEnc frame. The line's latency and the client's wake-up are outside this
// span; only the work the client does between answer and command is inside it. At exit it prints
//   turnaround-probe: <n> <median us> <p90 us> <p99 us>
// on stderr. Timestamps go to a fixed table; no allocation, no I/O until exit.
#include <dlfcn.h>
#include <sys/types.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

using ReadFunction = ssize_t (*)(int, void*, size_t);
using WriteFunction = ssize_t (*)(int, const void*, size_t);

constexpr std::size_t MAX_SPANS = 1 << 20;
std::uint32_t spans_100ns[MAX_SPANS];
std::size_t span_count = 0;
std::int64_t answer_end_ns = -1;
int port_fd = -1;  // learnt from the first yEnc frame written

std::int64_t now_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

template <typename Function>
Function next_symbol(const char* name) {
  void* symbol = dlsym(RTLD_NEXT, name);
  Function function = nullptr;
  std::memcpy(&function, &symbol, sizeof function);
  return function;
}

bool is_yenc_frame(const void* bytes, size_t length) {
  const auto* frame = static_cast<const std::uint8_t*>(bytes);
  return length >= 3 && frame[0] == '=' && frame[1] == 'G' && frame[length - 1] == '\r';
}

double microseconds_at(double quantile) {
  std::size_t index = static_cast<std::size_t>(quantile * static_cast<double>(span_count - 1));
  return spans_100ns[index] / 10.0;
}

[[gnu::destructor]] void report() {
  if (span_count == 0) return;
  std::sort(spans_100ns, spans_100ns + span_count);
  std::fprintf(stderr, "turnaround-probe: %zu %.1f %.1f %.1f\n", span_count, microseconds_at(0.5),
               microseconds_at(0.9), microseconds_at(0.99));
}

}  // namespace

extern "C" ssize_t read(int fd, void* buffer, size_t capacity) {
  static ReadFunction real_read = next_symbol<ReadFunction>("read");
  ssize_t got = real_read(fd, buffer, capacity);
  if (got > 0 && fd == port_fd && std::memchr(buffer, '\r', static_cast<size_t>(got)) != nullptr) {
    answer_end_ns = now_ns();
  }
  return got;
}

extern "C" ssize_t write(int fd, const void* bytes, size_t length) {
  static WriteFunction real_write = next_symbol<WriteFunction>("write");
  if (is_yenc_frame(bytes, length)) {
    port_fd = fd;
    if (answer_end_ns >= 0 && span_count < MAX_SPANS) {
      std::int64_t span = (now_ns() - answer_end_ns) / 100;
      spans_100ns[span_count++] =
          static_cast<std::uint32_t>(std::min<std::int64_t>(span, UINT32_MAX));
    }
    answer_end_ns = -1;
  }
  return real_write(fd, bytes, length);
}
