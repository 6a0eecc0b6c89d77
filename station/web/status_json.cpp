#include "station/web/status_json.hpp"

#include <cmath>

#include <nlohmann/json.hpp>

#include "station/os/utc_time.hpp"

namespace xarveld::station {

namespace {
using Json = nlohmann::ordered_json;

int percent(std::uint64_t done, std::uint64_t total) {
  if (total == 0) return 0;
  return static_cast<int>(std::min<std::uint64_t>(done, total) * 100 / total);
}

// To a number of decimals, so that the JSON says 0.7, not 0.7000000000000001.
double rounded(double value, double scale) { return std::round(value * scale) / scale; }

const char* state_name(SlotState state) {
  switch (state) {
    case SlotState::Running: return "running";
    case SlotState::Queued: return "queued";
    case SlotState::Waiting: return "waiting";
    case SlotState::Done: return "done";
  }
  return "done";
}

const char* kind_name(StatusEventKind kind) {
  switch (kind) {
    case StatusEventKind::Start: return "start";
    case StatusEventKind::Phase: return "phase";
    case StatusEventKind::Progress: return "progress";
    case StatusEventKind::Result: return "result";
    case StatusEventKind::Record: return "record";
  }
  return "start";
}
}  // namespace

void status_note_failure(std::deque<StatusEvent>& failures, const StatusEvent& event) {
  if (event.kind != StatusEventKind::Result || event.result == "PASS") return;
  failures.push_front(event);
  while (failures.size() > STATUS_FAILURES_KEPT) failures.pop_back();
}

Json status_slot_object(const StatusSlot& slot) {
  return {{"name", slot.name},
          {"port", slot.port},
          {"state", state_name(slot.state)},
          {"board", slot.board},
          {"attempt", slot.attempt},
          {"passed", slot.passed},
          {"failed", slot.failed},
          {"phase", slot.phase},
          {"percent", percent(slot.bytes_done, slot.bytes_total)},
          {"bytes_done", slot.bytes_done},
          {"bytes_total", slot.bytes_total},
          {"kib_per_second", rounded(slot.kib_per_second, 10)},
          {"seconds", rounded(slot.seconds, 10)},
          {"result", slot.result},
          {"message", slot.message},
          {"reason", slot.reason},
          {"reason_code", slot.reason_code},
          {"serial", slot.serial},
          {"waiting_for_ledger", slot.waiting_for_ledger},
          {"backup", slot.backup}};
}

Json status_totals_object(const StatusSnapshot& snapshot) {
  int boards = snapshot.passed + snapshot.failed;
  Json totals;
  totals["passed"] = snapshot.passed;
  totals["failed"] = snapshot.failed;
  totals["yield_percent"] =
      boards > 0 ? Json(rounded(100.0 * snapshot.passed / boards, 10)) : Json(nullptr);
  std::optional<double> rate = boards_per_hour(snapshot);
  totals["boards_per_hour"] = rate ? Json(std::round(*rate)) : Json(nullptr);
  if (snapshot.serials_left) totals["serials_left"] = *snapshot.serials_left;
  return totals;
}

Json status_failure_object(const StatusEvent& failure) {
  return {{"seq", failure.seq},
          {"time", iso_utc(failure.unix_ms)},
          {"slot", failure.slot},
          {"board", failure.board},
          {"attempt", failure.attempt},
          {"result", failure.result},
          {"message", failure.message},
          {"reason", failure.reason},
          {"reason_code", failure.reason_code},
          {"directory", failure.directory}};
}

std::string status_json_text(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string status_snapshot_json(const StatusStation& station, const StatusSnapshot& snapshot,
                                 const std::deque<StatusEvent>& failures) {
  Json json;
  json["type"] = "snapshot";
  json["host"] = station.host;
  json["version"] = station.version;
  json["started"] = iso_utc(station.started_unix_ms);
  json["record"] = station.record;
  Json images = Json::array();
  for (const ImageFacts& image : station.images) {
    images.push_back({{"role", image.role},
                      {"name", image.name},
                      {"size", image.size},
                      {"sha256", image.sha256}});
  }
  json["images"] = images;
  Json slots = Json::array();
  for (const StatusSlot& slot : snapshot.slots) slots.push_back(status_slot_object(slot));
  json["slots"] = slots;
  json["totals"] = status_totals_object(snapshot);
  Json recent = Json::array();
  std::size_t bytes = 0;
  for (const StatusEvent& failure : failures) {
    Json entry = status_failure_object(failure);
    bytes += status_json_text(entry).size();
    if (bytes > STATUS_FAILURES_BYTES && !recent.empty()) break;
    recent.push_back(std::move(entry));
  }
  json["failures"] = recent;
  json["notices"] = snapshot.notices;
  return status_json_text(json);
}

std::string status_event_json(const StatusEvent& event, std::uint64_t seq) {
  Json json;
  json["type"] = kind_name(event.kind);
  json["seq"] = seq;
  json["time"] = iso_utc(event.unix_ms);
  json["slot"] = event.slot;
  json["board"] = event.board;
  json["attempt"] = event.attempt;
  json["directory"] = event.directory;
  if (!event.serial.empty()) json["serial"] = event.serial;
  switch (event.kind) {
    case StatusEventKind::Start:
      break;
    case StatusEventKind::Phase:
      json["phase"] = event.phase;
      break;
    case StatusEventKind::Progress:
      json["phase"] = event.phase;
      json["bytes_done"] = event.bytes_done;
      json["bytes_total"] = event.bytes_total;
      json["percent"] = percent(event.bytes_done, event.bytes_total);
      break;
    case StatusEventKind::Result:
      json["result"] = event.result;
      json["exit_status"] = event.exit_status;
      json["seconds"] = rounded(event.seconds, 1000);
      json["message"] = event.message;
      json["reason"] = event.reason;
      json["reason_code"] = event.reason_code;
      break;
    case StatusEventKind::Record:
      json["written"] = event.written;
      if (!event.written) json["error"] = event.error;
      break;
  }
  return status_json_text(json);
}

}  // namespace xarveld::station
