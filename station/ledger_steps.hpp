#pragma once
// What the station's loop asks of the ledger: each attempt's id and number before its tool runs,
// its number's settling and its row once it has ended, and their last tries at the end. Every
// call to the database runs in the ledger's own thread; these steps only hand it work and take
// in its answers, so none of them waits.
#include <string>

#include "station/station_options.hpp"
#include "station/station_state.hpp"

namespace xarveld::station {

// Opens the ledger for the shift, and with numbers defines its pool and places the number in
// the image, before any board starts: a number that cannot be placed, or a pool the ledger knows
// with another range, starts nothing. Then counts the numbers left and starts the ledger's
// thread. False with one line saying why.
[[nodiscard]] bool open_ledger(const StationOptions& options, const StationImage& image,
                               RunPlan& run, LedgerPlan& plan, std::string& why);

// Whether the queued slot has what its attempt needs to start: an id and, with numbers, its
// number. Without a number yet it asks the ledger's thread for one, once, and the slot waits
// for the answer.
bool stamp_ready(Station& station, SlotRun& slot);

// The ledger thread's answers: numbers for the slots that asked, a pool exhausted or refused
// (no new board starts), writes refused for good, numbers of stations gone that a reservation
// spoiled; and how the ledger answers now, said on screen and on the page while it does not.
void take_ledger_answers(Station& station, SteadyClock::time_point now);

// Settles the attempt's number (used when its board passed; returned when the device was never
// touched, the rule of a retry; else spoiled) and puts its row in the ledger, both through the
// ledger's thread. The record says why when the ledger is not answering.
void ledger_take_attempt(Station& station, const SlotRun& slot, Result result,
                         AttemptRecord& record);

// At the end: numbers reserved for boards that never started are returned, what the ledger has
// not taken is tried a while longer (less after an interrupt), and what it never took is kept in
// ledger_lost. A reservation left unsettled is spoiled once this station's lease lapses, never
// handed out again.
void ledger_finish(Station& station);

}  // namespace xarveld::station
