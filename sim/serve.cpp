#include "sim/serve.hpp"

#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>
#include <vector>

#include "sim/line_timing.hpp"

namespace xarveld::sim {

namespace {
// How long after a session's last answer went out the tool is assumed to have closed the line.
constexpr std::int64_t SESSION_SETTLE_NS = 100000000;
// A tool that has sent nothing for this long may be gone, having failed its run.
constexpr std::int64_t QUIET_NS = 200000000;
// Ending a session, the simulator waits at most LINGER_NS for the tool to read the last answer:
// closing the line would throw away what the tool has not read. Bytes written to the master reach
// the slave's queue a moment later, so the queue is not trusted to be empty before LINGER_MIN_NS.
constexpr std::int64_t LINGER_MIN_NS = 20000000;
constexpr std::int64_t LINGER_NS = 200000000;
constexpr std::int64_t LINGER_CHECK_NS = 2000000;
constexpr std::size_t READ_CHUNK = 4096;

struct PendingRead {
  std::int64_t due_ns = 0;  // when its last byte would have arrived
  std::vector<std::uint8_t> bytes;
};

struct PendingPiece {
  std::int64_t ready_ns = 0;
  std::vector<std::uint8_t> bytes;
  std::size_t written = 0;
  bool logs_record = false;  // the first piece of a frame logs it as it starts to go out
  WireRecord record;
};

struct LineState {
  std::int64_t start_ns = 0;
  std::int64_t byte_ns = 0;
  std::int64_t latency_ns = 0;
  std::deque<PendingRead> reads;
  std::deque<PendingPiece> pieces;
  std::int64_t rx_free_ns = 0;
  std::int64_t tx_free_ns = 0;
  // Bytes the line has carried to the adapter and the tool's side has not got yet; the first
  // `passed` of them the adapter has passed on, the rest it holds.
  std::vector<std::uint8_t> carried;
  std::size_t passed = 0;
  AdapterBuffer adapter;
  bool write_blocked = false;
  bool reading = true;  // false for good after --stop-reading-after
  bool fill_due = false;  // the tool's way to the target is filled before the next answer goes
  std::int64_t stall_ns = 0;  // --stall-after: how long reading then pauses, from the filling on
  std::int64_t resume_ns = -1;  // while a stall lasts: when reading resumes
  std::size_t filler_unread = 0;  // filler of a stall still ahead of the tool's bytes
  bool session_over = false;  // serving forever: the next bytes start a new session
  std::int64_t discard_at_ns = -1;
  bool finishing = false;  // one session only: end once the last answer is out
  std::int64_t linger_from_ns = -1;
  std::int64_t next_reopen_ns = 0;  // when the line is next made openable again
};

std::int64_t now_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

double milliseconds(const LineState& state, std::int64_t at_ns) {
  return static_cast<double>(at_ns - state.start_ns) / 1e6;
}

ServeEnd line_failed(const char* what) {
  std::fprintf(stderr, "xarveld-sim: %s: %s\n", what, std::strerror(errno));
  return ServeEnd::LineFailed;
}

void queue_frame(LineState& state, LoaderEvent& event, std::int64_t now) {
  std::size_t offset = 0;
  std::int64_t ready = now;
  for (std::size_t size : fragment_sizes(event.frame.size(), event.pieces)) {
    PendingPiece piece;
    piece.ready_ns = ready;
    piece.bytes.assign(event.frame.begin() + static_cast<std::ptrdiff_t>(offset),
                       event.frame.begin() + static_cast<std::ptrdiff_t>(offset + size));
    piece.logs_record = offset == 0;
    if (piece.logs_record) piece.record = std::move(event.record);
    state.pieces.push_back(std::move(piece));
    offset += size;
    ready += FRAGMENT_GAP_NS;
  }
}

// Hands every read that has fully arrived to the loader and acts on what it says. Returns false
// when the loader cut the line.
bool deliver_reads(LineState& state, PtyLine& line, Loader& loader,
                   const ServeSettings& settings, WireLog& wire, std::int64_t now) {
  std::vector<LoaderEvent> events;
  while (!state.reads.empty() && state.reads.front().due_ns <= now) {
    PendingRead read = std::move(state.reads.front());
    state.reads.pop_front();
    events.clear();
    loader_receive(loader, read.bytes.data(), read.bytes.size(), events);
    for (LoaderEvent& event : events) {
      switch (event.kind) {
        case EventKind::Record:
          wire_log_write(wire, milliseconds(state, now), event.record);
          break;
        case EventKind::Send:
          // The loader answers the moment the command's last byte is in, however late this loop
          // woke to hand it over: the line's time is the loader's, not the simulator's.
          queue_frame(state, event, read.due_ns);
          break;
        case EventKind::SessionEnd:
          if (settings.serve_forever) {
            // The tool closes the line right after its disconnect; the next run may follow at once.
            pty_line_allow_reopen(line);
            state.session_over = true;
          } else {
            state.finishing = true;
          }
          break;
        case EventKind::HangUp:
          return false;
        case EventKind::StopReading:
          state.reading = false;
          state.fill_due = true;
          state.reads.clear();
          return true;
        case EventKind::Stall:
          state.fill_due = true;
          state.stall_ns = static_cast<std::int64_t>(loader.config.faults.stall_ms) * 1000000;
          break;
      }
    }
  }
  return true;
}

bool all_sent(const LineState& state) { return state.pieces.empty() && state.carried.empty(); }

// Moves what the line has carried by now from the pieces to the adapter.
void carry_pieces(LineState& state, WireLog& wire, std::int64_t now) {
  while (!state.pieces.empty()) {
    PendingPiece& piece = state.pieces.front();
    std::int64_t next_due = 0;
    std::size_t due = bytes_due(now, piece.ready_ns, state.byte_ns,
                                piece.bytes.size() - piece.written, state.tx_free_ns, next_due);
    if (due == 0) return;
    if (piece.logs_record) {
      wire_log_write(wire, milliseconds(state, now), piece.record);
      piece.logs_record = false;
    }
    // The bytes went through one byte time apart, the last of them at tx_free_ns.
    std::int64_t first = state.tx_free_ns - static_cast<std::int64_t>(due - 1) * state.byte_ns;
    state.passed += adapter_receive(state.adapter, due, first, state.byte_ns, state.latency_ns);
    auto from = piece.bytes.begin() + static_cast<std::ptrdiff_t>(piece.written);
    state.carried.insert(state.carried.end(), from, from + static_cast<std::ptrdiff_t>(due));
    piece.written += due;
    if (piece.written < piece.bytes.size()) return;
    state.pieces.pop_front();
  }
}

// Carries what is due, and writes what the adapter has passed on. Returns false when the write
// failed for good.
bool write_pieces(LineState& state, PtyLine& line, WireLog& wire, std::int64_t now) {
  if (state.write_blocked) return true;
  carry_pieces(state, wire, now);
  state.passed += adapter_expire(state.adapter, now, state.latency_ns);
  if (state.passed == 0) return true;
  ssize_t wrote = write(line.master_fd, state.carried.data(), state.passed);
  if (wrote < 0 && errno != EAGAIN && errno != EINTR) return false;
  std::size_t done = wrote > 0 ? static_cast<std::size_t>(wrote) : 0;
  state.carried.erase(state.carried.begin(),
                      state.carried.begin() + static_cast<std::ptrdiff_t>(done));
  state.passed -= done;
  // The tool is not reading and the line is full: nothing moves until it takes some.
  state.write_blocked = state.passed > 0;
  return true;
}

// How long the loop may wait for the line or a signal before it has something of its own to do.
std::int64_t wait_timeout_ns(const LineState& state, std::int64_t now) {
  std::int64_t wake = std::numeric_limits<std::int64_t>::max();
  if (!state.reads.empty()) wake = std::min(wake, state.reads.front().due_ns);
  if (!state.pieces.empty() && !state.write_blocked) {
    const PendingPiece& piece = state.pieces.front();
    std::int64_t line_free = state.tx_free_ns;
    std::int64_t next_due = 0;
    bytes_due(now, piece.ready_ns, state.byte_ns, 0, line_free, next_due);
    wake = std::min(wake, next_due);
  }
  if (state.adapter.held > 0 && !state.write_blocked) {
    wake = std::min(wake, adapter_deadline(state.adapter, state.latency_ns));
  }
  if (state.discard_at_ns >= 0) wake = std::min(wake, state.discard_at_ns);
  if (state.resume_ns >= 0) wake = std::min(wake, state.resume_ns);
  wake = std::min(wake, state.next_reopen_ns);
  return wake <= now ? 0 : wake - now;
}

struct Readiness {
  bool line_readable = false;
  bool line_writable = false;
  bool stopped = false;
};

// Waits for the line (readable if asked, writable if asked) or stop_fd, for at most timeout_ns
// (no limit when negative). pselect waits to the nanosecond: a paced byte takes 87 us at 115200
// baud, and a wait rounded up to whole milliseconds would make the line a quarter slower than
// the baud rate says. poll() would not do: macOS's takes no devices, pseudo-terminals included.
int wait_for_line(int line_fd, bool want_read, bool want_write, int stop_fd,
                  std::int64_t timeout_ns, Readiness& ready) {
  fd_set readable;
  fd_set writable;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_SET(stop_fd, &readable);
  if (want_read) FD_SET(line_fd, &readable);
  if (want_write) FD_SET(line_fd, &writable);
  timespec timeout{static_cast<time_t>(timeout_ns / 1000000000),
                   static_cast<long>(timeout_ns % 1000000000)};
  int count = pselect(std::max(line_fd, stop_fd) + 1, &readable, &writable, nullptr,
                      timeout_ns < 0 ? nullptr : &timeout, nullptr);
  if (count < 0) return count;
  ready.line_readable = want_read && FD_ISSET(line_fd, &readable);
  ready.line_writable = want_write && FD_ISSET(line_fd, &writable);
  ready.stopped = FD_ISSET(stop_fd, &readable);
  return count;
}

// After --stop-reading-after the simulator only waits for SIGINT or SIGTERM.
ServeEnd wait_for_stop(int line_fd, int stop_fd) {
  Readiness ready;
  while (wait_for_line(line_fd, false, false, stop_fd, -1, ready) < 0) {
    if (errno != EINTR) return line_failed("select");
  }
  return ServeEnd::Stopped;
}

// A new session's first bytes: what the last session left unread on the tool's side is stale.
void start_new_session(LineState& state, PtyLine& line) {
  state.session_over = false;
  state.discard_at_ns = -1;
  state.pieces.clear();
  state.carried.clear();
  state.passed = 0;
  state.adapter = AdapterBuffer{};
  state.write_blocked = false;
  pty_line_discard_unread(line);
}

// Returns false when the line failed.
bool read_line(LineState& state, PtyLine& line, std::int64_t now) {
  for (;;) {
    std::vector<std::uint8_t> bytes(READ_CHUNK);
    ssize_t got = read(line.master_fd, bytes.data(), bytes.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EAGAIN) return true;
    if (got <= 0) return false;
    bytes.resize(static_cast<std::size_t>(got));
    // A stall's filler went in ahead of whatever the tool wrote once the line took data again.
    std::size_t filler = std::min(state.filler_unread, bytes.size());
    state.filler_unread -= filler;
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(filler));
    if (bytes.empty()) continue;
    if (state.session_over) start_new_session(state, line);
    state.next_reopen_ns = now + QUIET_NS;
    PendingRead read;
    read.due_ns = arrival_time(now, state.byte_ns, bytes.size(), state.rx_free_ns);
    read.bytes = std::move(bytes);
    state.reads.push_back(std::move(read));
  }
}
}  // namespace

ServeEnd serve_line(PtyLine& line, Loader& loader, const ServeSettings& settings, WireLog& wire,
                    int stop_fd) {
  LineState state;
  state.start_ns = now_ns();
  state.byte_ns = byte_time_ns(settings.pace_baud);
  state.latency_ns = static_cast<std::int64_t>(settings.latency_ms) * 1000000;
  state.next_reopen_ns = state.start_ns + QUIET_NS;
  if (line.master_fd >= FD_SETSIZE || line.slave_fd >= FD_SETSIZE || stop_fd >= FD_SETSIZE) {
    errno = EMFILE;
    return line_failed("select");
  }
#ifdef __linux__
  // The kernel may otherwise run a timed wait up to 50 us late, half a byte time at 115200 baud.
  if (state.byte_ns > 0) prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
  for (;;) {
    std::int64_t now = now_ns();
    if (!deliver_reads(state, line, loader, settings, wire, now)) {
      pty_line_cut(line);
      return ServeEnd::HungUp;
    }
    if (state.fill_due) {
      std::size_t filled = 0;
      if (!pty_line_fill_toward_target(line, filled)) return line_failed("fill the line");
      state.fill_due = false;
      // Filling takes a while; the answer goes out once it is done.
      now = now_ns();
      // A stall, not a stop: reading resumes later, and the filler comes first.
      if (state.reading) {
        state.filler_unread += filled;
        state.resume_ns = now + state.stall_ns;
      }
    }
    if (state.resume_ns >= 0 && now >= state.resume_ns) state.resume_ns = -1;
    if (!write_pieces(state, line, wire, now)) return line_failed("write to the line");
    if (!state.reading && all_sent(state)) {
      wire_log_flush(wire);
      return wait_for_stop(line.master_fd, stop_fd);
    }
    if (state.finishing && all_sent(state)) {
      if (state.linger_from_ns < 0) state.linger_from_ns = now;
      std::int64_t lingered = now - state.linger_from_ns;
      if ((lingered >= LINGER_MIN_NS && pty_line_unread(line) == 0) || lingered >= LINGER_NS) {
        return ServeEnd::Disconnected;
      }
    }
    if (state.session_over && all_sent(state) && state.discard_at_ns < 0) {
      state.discard_at_ns = now + SESSION_SETTLE_NS;
    }
    if (state.discard_at_ns >= 0 && now >= state.discard_at_ns) {
      pty_line_discard_unread(line);
      state.discard_at_ns = -1;
      state.session_over = false;
    }
    // A run that failed, or never spoke, ends without a disconnect: whenever the line has been
    // quiet for a while, the next run must be able to open it.
    if (now >= state.next_reopen_ns) {
      pty_line_allow_reopen(line);
      state.next_reopen_ns = now + QUIET_NS;
    }

    std::int64_t timeout = wait_timeout_ns(state, now);
    if (state.linger_from_ns >= 0) timeout = std::min(timeout, LINGER_CHECK_NS);
    // The wire log is complete whenever the simulator is waiting.
    if (timeout != 0) wire_log_flush(wire);
    Readiness ready;
    bool want_read = state.reading && state.resume_ns < 0;
    if (wait_for_line(line.master_fd, want_read, state.write_blocked, stop_fd, timeout, ready) <
        0) {
      if (errno == EINTR) continue;
      return line_failed("select");
    }
    if (ready.stopped) return ServeEnd::Stopped;
    now = now_ns();
    if (ready.line_writable) state.write_blocked = false;
    // A line that hung up reads as readable, and its read fails.
    if (ready.line_readable && !read_line(state, line, now)) {
      return line_failed("read from the line");
    }
  }
}

}  // namespace xarveld::sim
