#pragma once
// What the station's loop keeps of each slot and of the whole shift, shared by the loop and the
// steps it takes for the status page and the ledger; and the one picture of it all that the
// page and the terminal's rows are drawn from.
#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "station/attempt/attempt.hpp"
#include "station/ledger/ledger.hpp"
#include "station/os/port.hpp"
#include "station/os/wake.hpp"
#include "station/station_options.hpp"
#include "station/view.hpp"
#include "station/web/status.hpp"

namespace xarveld::station {

// One slot as main sets it up for the loop: the slot and what its port is.
struct SlotSetup {
  Slot slot;
  PortIdentity identity;
};

// What a station does with the ledger, fixed at the start.
struct LedgerPlan {
  bool open = false;      // --ledger or serial numbers: every attempt goes into the ledger
  bool numbered = false;  // --serial-at: every board gets a number
  std::string location;
  std::string station_id;
  std::string pool;
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  std::optional<std::int64_t> serials_left;  // at the start
  WakeHandle wake = NO_WAKE_HANDLE;          // raised by the ledger's thread
};

struct SlotRun {
  SlotSetup setup;
  int board = 0;
  int attempt_number = 0;
  bool queued = false;
  bool running = false;
  int passed = 0;
  int failed = 0;  // failed, timed out or aborted boards
  bool last_passed = false;
  bool has_result = false;
  // The last attempt's, kept on the row until the slot's next board starts.
  std::string result;   // PASS, FAIL, TIMEOUT, ABORTED, or empty
  std::string message;  // with a failure: the tool's last line, the images by their given names
  std::string reason;   // and why, in the tool's words, when it said
  double seconds = 0;   // how long it took
  std::string serial;   // the running board's number, when boards get numbers
  bool port_gone = false;  // --loop: the port went away since the slot finished
  std::string port_seen;   // --loop: what the port was when its board started
  Attempt attempt;
  SteadyClock::time_point deadline;  // --timeout
  bool terminated = false;           // SIGTERM sent for the time-out
  bool timed_out = false;
  bool killed = false;
  SteadyClock::time_point kill_at;
  bool leftovers_seen = false;  // the tool has ended, its output is still held open
  SteadyClock::time_point leftovers_at;
  Phase status_phase = Phase::Connecting;  // what the page was last told of the running attempt
  std::uint64_t status_bytes = 0;
  SteadyClock::time_point status_progress_at;
  AttemptStamp stamp;  // the next attempt's id and number; kept while the ledger is out of reach
  bool number_asked = false;  // the ledger's thread has been asked for the stamp's number
};

// The lines that stay under the rows on a terminal and on the page until they no longer hold,
// one of each kind, so that a later one never hides an earlier one of another kind.
enum Notice : std::size_t {
  NOTICE_INTERRUPTED,
  NOTICE_RECORD_LOST,
  NOTICE_LEDGER_STOP,
  NOTICE_LEDGER_WAIT,
  NOTICE_LAPSED,
  NOTICE_KINDS
};

// Why no new board starts any more. Each, once it has happened, holds to the end of the shift.
enum class Stop : unsigned {
  Interrupted = 1,  // Ctrl-C, SIGTERM or a closed terminal
  RecordLost = 2,   // an append to the record failed: no board may go unrecorded
  Ledger = 4,       // the pool is exhausted, or the ledger refused a number
};

struct Station {
  const StationOptions* options = nullptr;
  const RunPlan* run = nullptr;
  const LedgerPlan* ledger_plan = nullptr;
  std::vector<SlotRun> slots;
  unsigned stopped = 0;  // the Stop reasons that have happened
  std::vector<Unrecorded> unrecorded;
  SteadyClock::time_point started;
  SteadyClock::time_point stop_deadline;  // after an interrupt: SIGKILL for what still runs
  bool dirty = true;
  SteadyClock::time_point status_published;
  bool waiting_for_ledger = false;  // the ledger does not answer: no board starts with a number
  bool ledger_calling = false;      // a call to it is under way
  LedgerClock::time_point ledger_since;    // when it stopped answering
  SteadyClock::time_point ledger_said_at;  // plain lines: when the wait was last said
  std::string ledger_waiting_line;
  std::vector<std::string> ledger_lost;  // writes the ledger never took
  std::optional<std::int64_t> serials_left;  // in the pool, as the ledger last said
  std::size_t ledger_writes_pending = 0;     // as the ledger's thread last said
  // /metrics: each slot's attempts, counted as they end (the gauges are filled when published).
  StationMetrics metrics;
  std::array<std::string, NOTICE_KINDS> notices;
};

inline bool boards_may_start(const Station& station) { return station.stopped == 0; }

// Whether this queued slot may start: as boards may, or, when only the ledger stopped new
// boards, with the number it already holds.
inline bool slot_may_start(const Station& station, const SlotRun& slot) {
  return boards_may_start(station) ||
         (station.stopped == static_cast<unsigned>(Stop::Ledger) && slot.stamp.has_serial);
}

inline bool stopped_by(const Station& station, Stop why) {
  return (station.stopped & static_cast<unsigned>(why)) != 0;
}

// No new board starts from now on: no retry, no next board with --loop, no slot waiting for a
// job. The boards running go on to their end. A slot whose board never started says so, with
// why, never its last board's result; a retry that never started counts its board as failed. A
// line, when given, stays under the rows and on the page until the end, beside those of the
// other reasons.
void stop_new_boards(Station& station, Stop why, const std::string& line = "");
// The result a slot shows for a board that was never burnt.
extern const char* const NOT_BURNT;

inline double seconds_since(SteadyClock::time_point start, SteadyClock::time_point now) {
  return std::chrono::duration<double>(now - start).count();
}

// The slot as the page and the rows show it at now: its last result, or how far its running
// attempt has come.
StatusSlot slot_status(const Station& station, const SlotRun& slot, SteadyClock::time_point now);
// Every slot, and the totals.
StatusSnapshot station_snapshot(const Station& station, SteadyClock::time_point now);

// The sizes of the driver (0 without one) and the image, which the tool's progress counts in.
void image_sizes(const RunPlan& run, std::uint64_t& driver, std::uint64_t& image);

// The wait's time-out in milliseconds until then: -1 for no end, 0 once it is due.
int wait_milliseconds(SteadyClock::time_point now, SteadyClock::time_point until);

}  // namespace xarveld::station
