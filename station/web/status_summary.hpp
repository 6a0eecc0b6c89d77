#pragma once
// The page's own stream (/events?view=page): after the snapshot, at most once a second, one
// summary of what changed since that viewer's last message, so that a phone on the page all
// shift takes a few megabytes, not the line's every event. Pure: the server computes the page's
// state once per round and asks, per viewer, for the next message.
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "station/web/status.hpp"

namespace xarveld::station {

// A viewer that has had nothing for this long gets a bare summary, so that the page can tell a
// quiet station from a lost one (it calls it lost after 12 s).
constexpr std::chrono::milliseconds PAGE_QUIET_INTERVAL{5000};

// What the page shows, each part as JSON text, compared as text.
struct PageSlot {
  std::string name;
  // (field, value) in the snapshot's order; without what the page does not show or counts itself.
  std::vector<std::pair<std::string, std::string>> fields;
};

struct PageState {
  std::vector<PageSlot> slots;
  std::string totals;
  std::string notices;
  std::vector<std::pair<std::uint64_t, std::string>> failures;  // (seq, failure), newest first
};

// What one viewer has been sent.
struct PageViewer {
  PageState sent;
  std::chrono::steady_clock::time_point last_message;
};

PageState page_state(const StatusSnapshot& snapshot, const std::deque<StatusEvent>& failures);

// A viewer that has just been sent the snapshot of which state is the page's part.
PageViewer page_viewer(const PageState& state, std::chrono::steady_clock::time_point now);

// The viewer's next message, as JSON text, and what it has now been sent; empty when it needs
// none. unix_ms is the message's time.
std::string page_summary(const PageState& state, PageViewer& viewer,
                         std::chrono::steady_clock::time_point now, std::int64_t unix_ms);

}  // namespace xarveld::station
