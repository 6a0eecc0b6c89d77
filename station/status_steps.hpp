#pragma once
// What the station's loop publishes to the status page (--http): the slots and totals, and one
// event per step of an attempt.
#include <string>

#include "station/station_state.hpp"

namespace xarveld::station {

// The status page (--http): the slots and totals at most every STATUS_SNAPSHOT_EVERY, or at once
// when forced, and one event per step of an attempt.
void publish_status(Station& station, SteadyClock::time_point now, bool force);

// A new phase at once; progress within a phase at most every STATUS_PROGRESS_EVERY.
void publish_progress(const Station& station, SlotRun& slot, SteadyClock::time_point now);

// The attempt has started: its first phase, from nothing done.
void publish_start(SlotRun& slot);

// The attempt's result, and whether the record took it.
void publish_result(const SlotRun& slot, const AttemptRecord& record, bool recorded,
                    const std::string& error);

}  // namespace xarveld::station
