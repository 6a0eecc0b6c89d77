#pragma once
// The page's and the API's JSON: a snapshot of the station (/status) and one object per event
// (/events). Pure; text from the tools, files and ports goes in as JSON strings, never as markup,
// and bytes that are not UTF-8 are replaced.
#include <cstdint>
#include <deque>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "station/web/status.hpp"

namespace xarveld::station {

// At most this many of the latest failed attempts go with the snapshot, newest first.
constexpr std::size_t STATUS_FAILURES_KEPT = 20;
// and no more of them than this many bytes of JSON: sixteen slots that each failed with the
// longest message and reason keep the snapshot under 64 KB, which every viewer takes often.
constexpr std::size_t STATUS_FAILURES_BYTES = 24 * 1024;

// Keeps a failed attempt's result event at the front of failures, the newest first (at most
// STATUS_FAILURES_KEPT).
void status_note_failure(std::deque<StatusEvent>& failures, const StatusEvent& event);

// The /status object, without a line end.
std::string status_snapshot_json(const StatusStation& station, const StatusSnapshot& snapshot,
                                 const std::deque<StatusEvent>& failures);

// The snapshot's parts, which the page's summaries send again when they change.
nlohmann::ordered_json status_slot_object(const StatusSlot& slot);
nlohmann::ordered_json status_totals_object(const StatusSnapshot& snapshot);
nlohmann::ordered_json status_failure_object(const StatusEvent& failure);

// JSON as text, with bytes that are not UTF-8 replaced.
std::string status_json_text(const nlohmann::ordered_json& json);

// One event as a JSON object, numbered seq, without a line end.
std::string status_event_json(const StatusEvent& event, std::uint64_t seq);

}  // namespace xarveld::station
