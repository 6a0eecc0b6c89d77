#pragma once
// The line's status page and its event stream, served read-only over HTTP (--http). The
// supervisor publishes a snapshot of its slots and totals and every event of an attempt; the
// server, on threads of its own, hands them to however many viewers there are. Publishing only
// copies under a lock: no viewer, slow or gone, ever holds up the station. One source file per
// build: with the HTTP library, or without a page.
//
// StatusSnapshot is the one picture of the station's state: the page and /status show it, and
// the station's own rows on its terminal are drawn from the same picture.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "station/os/files.hpp"
#include "station/web/status_metrics.hpp"

namespace xarveld::station {

enum class SlotState {
  Running,
  Queued,   // waiting for a free job
  Waiting,  // --loop: finished, waiting for its next board
  Done,
};

struct StatusSlot {
  std::string name;
  std::string port;
  SlotState state = SlotState::Done;
  int board = 0;
  int attempt = 0;
  int passed = 0;
  int failed = 0;
  // backup, connecting, driver, burning, verifying, closing; finished when not running
  std::string phase;
  std::uint64_t bytes_done = 0;
  std::uint64_t bytes_total = 0;
  double kib_per_second = 0;
  double seconds = 0;   // of the running attempt, or of the last one
  std::string result;   // the last board's, or empty
  std::string message;  // with a failure: the tool's last line
  std::string reason;   // with a failure: why, in the tool's words; empty when not known
  std::string serial;               // the board's number, when boards get numbers
  bool waiting_for_ledger = false;  // queued, and no number until the ledger answers
  bool backup = false;  // --backup: what the board held is kept (the running or last attempt's)
};

struct StatusSnapshot {
  std::vector<StatusSlot> slots;
  int passed = 0;
  int failed = 0;    // failed, timed out or aborted boards
  double hours = 0;  // since the station started
  std::optional<std::int64_t> serials_left;  // when the station draws from a pool of numbers
  // What holds the whole station up or has stopped its new boards, a line each, until it no
  // longer holds: a wait for the ledger, an exhausted pool, a record that cannot be written.
  std::vector<std::string> notices;
};

// How long a shift has run before it has a rate: one quick board in the first seconds would say
// thousands an hour.
constexpr double RATE_AFTER_SECONDS = 10;

// Boards passed per hour of the shift, the line's output: a failed board is none made. None
// before a board has passed and RATE_AFTER_SECONDS have gone by.
inline std::optional<double> boards_per_hour(const StatusSnapshot& snapshot) {
  if (snapshot.passed == 0 || snapshot.hours * 3600 < RATE_AFTER_SECONDS) return std::nullopt;
  return snapshot.passed / snapshot.hours;
}

// What the page shows of the station itself, given once.
struct StatusStation {
  std::string host;
  std::string version;
  std::string record;
  std::int64_t started_unix_ms = 0;
  std::vector<ImageFacts> images;
};

enum class StatusEventKind { Start, Phase, Progress, Result, Record };

struct StatusEvent {
  StatusEventKind kind = StatusEventKind::Start;
  std::uint64_t seq = 0;  // numbered by the server as it takes it; 0 before
  std::int64_t unix_ms = 0;
  std::string slot;
  int board = 0;
  int attempt = 0;
  std::string directory;                  // the attempt's, which names it
  std::string serial;                     // the board's number, when boards get numbers
  std::string phase;                      // Phase, Progress
  std::uint64_t bytes_done = 0;           // Progress
  std::uint64_t bytes_total = 0;          // Progress
  std::string result;                     // Result
  std::int64_t exit_status = -1;          // Result
  double seconds = 0;                     // Result
  std::string message;                    // Result
  std::string reason;                     // Result
  bool written = false;                   // Record
  std::string error;                      // Record, when not written
};

// Checks ADDRESS:PORT (an IPv4 literal, or an IPv6 literal in brackets; port 0 picks a free one)
// and listens there, so that a bad address or a port in use refuses the station before it starts
// anything. Requests are answered only when their Host names that address, or one of names
// (host names, compared without regard to case). The page's URL, or false with why (one line).
[[nodiscard]] bool status_listen(const std::string& address, const std::vector<std::string>& names,
                                 std::string& url, std::string& why);

// Starts serving on what status_listen opened. False with why.
[[nodiscard]] bool status_start(const StatusStation& station, std::string& why);

// Whether a page is served: the supervisor builds nothing for it otherwise.
bool status_serving();

void status_publish(const StatusSnapshot& snapshot);
void status_event(const StatusEvent& event);
// The counts /metrics serves, in place of those published before.
void status_publish_metrics(const StationMetrics& metrics);

// Sends the viewers what is left, ends their streams (at most about 2 s) and stops serving.
void status_stop();

}  // namespace xarveld::station
