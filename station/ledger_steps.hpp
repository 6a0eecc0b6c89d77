#pragma once
// What the station's loop asks of the ledger: each attempt's id and number before its tool runs,
// its row once it has ended, the lease, the writes that wait, and their last tries at the end.
#include <string>

#include "station/station_options.hpp"
#include "station/station_state.hpp"

namespace xarveld::station {

// Opens the ledger for the shift, and with numbers defines its pool and places the number in
// the image, before any board starts: a number that cannot be placed, or a pool the ledger knows
// with another range, starts nothing. False with one line saying why.
[[nodiscard]] bool open_ledger(const StationOptions& options, const StationImage& image,
                               RunPlan& run, LedgerPlan& plan, std::string& why);

// The numbers left in the pool, for the page: asked of the ledger, which every station of the
// line draws from, after each reservation; only while a page is served.
void note_serials_left(Station& station);

// The attempt's id and, with numbers, its number, reserved and committed before its tool runs.
// False when the slot cannot start now: the ledger is out of reach (the slot waits and the next
// try is after the back-off), or the pool has no number left (no board starts any more).
bool stamp_attempt(Station& station, SlotRun& slot, SteadyClock::time_point now);

// Settles the attempt's number (used when its board passed; returned when the device was never
// touched, the rule of a retry; else spoiled) and puts its row in the ledger. What the ledger
// cannot take now waits in the queue, and the record says why.
void ledger_take_attempt(Station& station, const SlotRun& slot, Result result,
                         AttemptRecord& record, SteadyClock::time_point now);

// The writes that wait, tried again; what the ledger refuses is said and kept as lost.
void flush_ledger(Station& station, SteadyClock::time_point now);

// The station's lease, renewed every LEDGER_RENEW_MS; a renewal the ledger does not answer backs
// off as every other call does.
void renew_ledger_lease(Station& station, SteadyClock::time_point now);

// What the ledger has not taken is tried a while longer; a reservation left unsettled is spoiled
// once this station's lease lapses, never handed out again.
void ledger_last_tries(Station& station);

}  // namespace xarveld::station
