#pragma once
// What the station's loop keeps of each slot and of the whole run, shared by the loop and the
// steps it takes for the status page and the ledger.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "station/attempt/attempt.hpp"
#include "station/ledger/ledger.hpp"
#include "station/slot_setup.hpp"
#include "station/station_options.hpp"
#include "station/view.hpp"

namespace xarveld::station {

// What a station does with the ledger, fixed at the start.
struct LedgerPlan {
  bool open = false;      // --ledger or serial numbers: every attempt goes into the ledger
  bool numbered = false;  // --serial-at: every board gets a number
  std::string location;
  std::string station_id;
  std::string pool;
  std::uint64_t first = 0;
  std::uint64_t last = 0;
};

struct SlotRun {
  SlotSetup setup;
  SlotView view;
  int board = 0;
  int attempt_number = 0;
  bool queued = false;
  bool running = false;
  bool last_passed = false;
  bool has_result = false;
  bool port_gone = false;  // --loop: the port went away since the slot finished
  std::string port_seen;   // --loop: what the port was when the slot finished
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
};

struct Station {
  const StationOptions* options = nullptr;
  const RunPlan* run = nullptr;
  const LedgerPlan* ledger_plan = nullptr;
  std::vector<SlotRun> slots;
  bool interrupted = false;
  // An append to the record failed: no new board starts, for no board may go unrecorded.
  bool record_lost = false;
  std::vector<Unrecorded> unrecorded;
  SteadyClock::time_point started;
  SteadyClock::time_point stop_deadline;  // after an interrupt: SIGKILL for what still runs
  bool dirty = true;
  SteadyClock::time_point status_published;
  LedgerQueue ledger_writes;
  bool waiting_for_ledger = false;  // the ledger does not answer: no board starts with a number
  std::string ledger_stop;          // the pool is exhausted, or the ledger refused a number
  std::vector<std::string> ledger_lost;  // writes the ledger never took
  std::optional<std::int64_t> serials_left;  // in the pool, as the ledger last said
  SteadyClock::time_point lease_renewal;
};

// Whether a board may start: not after an interrupt, nor once the record could not be written,
// nor once the pool has no number for it.
inline bool boards_may_start(const Station& station) {
  return !station.interrupted && !station.record_lost && station.ledger_stop.empty();
}

inline double seconds_since(SteadyClock::time_point start, SteadyClock::time_point now) {
  return std::chrono::duration<double>(now - start).count();
}

std::vector<SlotView> views(const Station& station, SteadyClock::time_point now);
Totals totals(const Station& station, SteadyClock::time_point now);

// The wait's time-out in milliseconds until then: -1 for no end, 0 once it is due.
int wait_milliseconds(SteadyClock::time_point now, SteadyClock::time_point until);

}  // namespace xarveld::station
