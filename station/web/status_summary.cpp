#include "station/web/status_summary.hpp"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "station/os/utc_time.hpp"
#include "station/web/status_json.hpp"

namespace xarveld::station {

namespace {
using Json = nlohmann::ordered_json;
using Fields = std::vector<std::pair<std::string, std::string>>;

// Changed 10 times a second and not shown. A running attempt's time the page counts itself.
bool page_shows(const std::string& field, bool running) {
  if (field == "bytes_done" || field == "bytes_total" || field == "kib_per_second") return false;
  if (field == "name") return false;  // the slot's key in a summary
  return !(field == "seconds" && running);
}

// "field":value,... of what differs from before; empty when nothing does.
std::string changed_fields(const Fields& now, const Fields& before) {
  std::string text;
  for (const auto& [field, value] : now) {
    auto was = std::find_if(before.begin(), before.end(),
                            [&field = field](const auto& f) { return f.first == field; });
    if (was != before.end() && was->second == value) continue;
    if (!text.empty()) text += ',';
    text += '"' + field + "\":" + value;
  }
  return text;
}

std::string slots_changed(const PageState& state, const PageState& sent) {
  static const Fields none;
  std::string text;
  for (std::size_t i = 0; i < state.slots.size(); ++i) {
    const PageSlot& slot = state.slots[i];
    bool known = i < sent.slots.size() && sent.slots[i].name == slot.name;
    std::string fields = changed_fields(slot.fields, known ? sent.slots[i].fields : none);
    if (fields.empty()) continue;
    if (!text.empty()) text += ',';
    text += status_json_text(Json(slot.name)) + ":{" + fields + "}";
  }
  return text;
}

std::string failures_new(const PageState& state, const PageState& sent) {
  std::uint64_t last = sent.failures.empty() ? 0 : sent.failures.front().first;
  std::string text;
  for (const auto& [seq, failure] : state.failures) {
    if (seq <= last) break;
    if (!text.empty()) text += ',';
    text += failure;
  }
  return text;
}
}  // namespace

PageState page_state(const StatusSnapshot& snapshot, const std::deque<StatusEvent>& failures) {
  PageState state;
  for (const StatusSlot& slot : snapshot.slots) {
    PageSlot shown{slot.name, {}};
    Json json = status_slot_object(slot);
    for (const auto& [field, value] : json.items()) {
      if (page_shows(field, slot.state == SlotState::Running)) {
        shown.fields.emplace_back(field, status_json_text(value));
      }
    }
    state.slots.push_back(std::move(shown));
  }
  state.totals = status_json_text(status_totals_object(snapshot));
  state.notices = status_json_text(Json(snapshot.notices));
  for (const StatusEvent& failure : failures) {
    state.failures.emplace_back(failure.seq, status_json_text(status_failure_object(failure)));
  }
  return state;
}

PageViewer page_viewer(const PageState& state, std::chrono::steady_clock::time_point now) {
  return PageViewer{state, now};
}

std::string page_summary(const PageState& state, PageViewer& viewer,
                         std::chrono::steady_clock::time_point now, std::int64_t unix_ms) {
  std::string changes;
  std::string slots = slots_changed(state, viewer.sent);
  if (!slots.empty()) changes += ",\"slots\":{" + slots + "}";
  if (state.totals != viewer.sent.totals) changes += ",\"totals\":" + state.totals;
  if (state.notices != viewer.sent.notices) changes += ",\"notices\":" + state.notices;
  std::string failures = failures_new(state, viewer.sent);
  if (!failures.empty()) changes += ",\"failures\":[" + failures + "]";
  if (changes.empty() && now - viewer.last_message < PAGE_QUIET_INTERVAL) return "";
  viewer.sent = state;
  viewer.last_message = now;
  return "{\"type\":\"summary\",\"time\":\"" + iso_utc(unix_ms) + "\"" + changes + "}";
}

}  // namespace xarveld::station
