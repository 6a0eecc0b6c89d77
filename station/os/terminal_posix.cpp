#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>

#include "station/os/terminal.hpp"

namespace xarveld::station {

namespace {
constexpr std::size_t QUEUE_LIMIT = std::size_t{1} << 20;
// PIPE_BUF: a pipe that polls writable takes this much at once without blocking.
constexpr std::size_t CHUNK = 4096;
// A terminal that polls writable may still take less than a chunk and then block (stopped with
// Ctrl-S in between): SIGALRM ends such a write.
constexpr long WRITE_LIMIT_US = 100000;

// The output's own open file description is the shell's too (a terminal, or a pipe another
// program shares), so it is never made non-blocking: each write waits for poll and a timer.
std::deque<std::string> queue;
std::size_t queued_bytes = 0;
std::size_t front_written = 0;  // of queue.front()
bool timer_ready = false;

void cut_write_short(int) {}

ssize_t write_with_limit(const char* data, std::size_t size) {
  if (!timer_ready) {
    struct sigaction action{};
    action.sa_handler = cut_write_short;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // not restarted: the write returns what it wrote, or EINTR
    sigaction(SIGALRM, &action, nullptr);
    timer_ready = true;
  }
  itimerval limit{};
  limit.it_value.tv_usec = WRITE_LIMIT_US;
  setitimer(ITIMER_REAL, &limit, nullptr);
  ssize_t wrote = write(STDOUT_FILENO, data, size);
  int saved = errno;
  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  errno = saved;
  return wrote;
}

void drop_queue() {
  queue.clear();
  queued_bytes = 0;
  front_written = 0;
}
}  // namespace

bool terminal_prepare() { return isatty(STDOUT_FILENO) == 1; }

int terminal_columns() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

void terminal_write(const std::string& text) {
  if (text.empty()) return;
  queue.push_back(text);
  queued_bytes += text.size();
  // The front may be half written: it goes out whole. After it, the oldest give way.
  std::size_t oldest = front_written > 0 ? 1 : 0;
  while (queued_bytes > QUEUE_LIMIT && queue.size() > oldest + 1) {
    queued_bytes -= queue[oldest].size();
    queue.erase(queue.begin() + static_cast<std::ptrdiff_t>(oldest));
  }
  terminal_flush(0);
}

bool terminal_flush(int wait_ms) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
  while (!queue.empty()) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd output{STDOUT_FILENO, POLLOUT, 0};
    int ready = poll(&output, 1, static_cast<int>(std::max<decltype(left)>(left, 0)));
    if (ready < 0 && errno == EINTR) {
      if (left <= 0) break;
      continue;
    }
    if (ready <= 0) break;
    const std::string& front = queue.front();
    ssize_t wrote = write_with_limit(front.data() + front_written,
                                     std::min(CHUNK, front.size() - front_written));
    if (wrote < 0 && (errno == EINTR || errno == EAGAIN)) {
      if (left <= 0) break;
      continue;
    }
    if (wrote <= 0) {
      drop_queue();  // output nobody can read any more (a closed pipe) is dropped
      break;
    }
    front_written += static_cast<std::size_t>(wrote);
    if (front_written == front.size()) {
      queued_bytes -= front.size();
      queue.pop_front();
      front_written = 0;
    }
  }
  return queue.empty();
}

WakeHandle terminal_wake() { return queue.empty() ? NO_WAKE_HANDLE : STDOUT_FILENO; }

}  // namespace xarveld::station
