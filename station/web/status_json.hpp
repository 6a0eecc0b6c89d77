#pragma once
// The page's and the API's JSON: a snapshot of the station (/status) and one object per event
// (/events). Pure; text from the tools, files and ports goes in as JSON strings, never as markup,
// and bytes that are not UTF-8 are replaced.
#include <cstdint>
#include <deque>
#include <string>

#include "station/web/status.hpp"

namespace xarveld::station {

// At most this many of the latest failed attempts go with the snapshot, newest first.
constexpr std::size_t STATUS_FAILURES_KEPT = 20;

// The station's failed attempts so far, the newest at the front.
struct StatusFailure {
  std::int64_t unix_ms = 0;
  std::string slot;
  int board = 0;
  int attempt = 0;
  std::string result;
  std::string message;
  std::string reason;
  std::string directory;
};

// Keeps a failed attempt's result event in failures (at most STATUS_FAILURES_KEPT).
void status_note_failure(std::deque<StatusFailure>& failures, const StatusEvent& event);

// The /status object, without a line end.
std::string status_snapshot_json(const StatusStation& station, const StatusSnapshot& snapshot,
                                 const std::deque<StatusFailure>& failures);

// One event as a JSON object, numbered seq, without a line end.
std::string status_event_json(const StatusEvent& event, std::uint64_t seq);

}  // namespace xarveld::station
