#pragma once
// The station's loop: starts the slots' runs within --jobs, waits on all of them at once, ends
// runs past --timeout, retries what deserves it, serves the next board in --loop, passes an
// interrupt on to every running tool, and keeps the view and the record.
#include <string>
#include <vector>

#include "station/station_options.hpp"
#include "station/station_state.hpp"

namespace xarveld::station {

// Runs until every slot is done (or, with --loop, until interrupted), and returns the station's
// exit status.
int supervise(const StationOptions& options, const RunPlan& run, const LedgerPlan& ledger,
              const std::vector<SlotSetup>& slots, bool terminal, bool colour);

}  // namespace xarveld::station
