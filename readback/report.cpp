#include "readback/report.hpp"

#include <cstdarg>
#include <cstdio>

#include "common/console_platform.hpp"
#include "link/clock.hpp"

namespace xarveld {

namespace {
struct Progress {
  bool shown = false;
  std::uint32_t total = 0;
  std::uint32_t done = 0;
  std::uint32_t last_shown = 0;
  std::uint64_t started = 0;
};
Progress progress;

constexpr std::uint32_t SHOW_EVERY = 1024;
}  // namespace

void report_trouble(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::fputs("xarveld-read: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  va_end(args);
}

void progress_start(std::uint32_t total) {
  progress = Progress{};
  progress.shown = stream_is_terminal(stderr);
  progress.total = total;
  progress.started = clock_ticks();
}

namespace {
void show_progress() {
  progress.last_shown = progress.done;
  std::uint64_t ticks = clock_ticks() - progress.started;
  std::uint64_t rate = ticks == 0 ? 0 : progress.done * TICKS_PER_SECOND / ticks;
  // Blocks read again count too; the share stops at 100.
  unsigned percent = static_cast<unsigned>(
      progress.done >= progress.total ? 100 : progress.done * 100ull / progress.total);
  std::fprintf(stderr, "\r%3u%%  %llu bytes/s ", percent, static_cast<unsigned long long>(rate));
  std::fflush(stderr);
}
}  // namespace

void progress_advance(std::uint32_t bytes) {
  progress.done += bytes;
  if (progress.shown && progress.done - progress.last_shown >= SHOW_EVERY) show_progress();
}

void progress_end() {
  if (!progress.shown || progress.last_shown == 0) return;
  // The last share and rate, then the line is left for what follows.
  show_progress();
  std::fputs("\n", stderr);
  progress.shown = false;
}

}  // namespace xarveld
