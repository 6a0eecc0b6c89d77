#include "station/line/line_page.hpp"

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>

#include "station/attempt/attempt.hpp"
#include "station/os/utc_time.hpp"
#include "station/web/status.hpp"

namespace xarveld::station {

namespace {

using Json = nlohmann::ordered_json;

// Text that came from a station, a tool or the database: plain and cut, as the station's page
// shows it (the page sets it as text, never as markup).
Json shown(const std::string& text) { return shown_text(text); }

Json percent(std::uint64_t part, std::uint64_t whole) {
  if (whole == 0) return nullptr;
  return static_cast<double>(part) * 100.0 / static_cast<double>(whole);
}

Json rate(std::optional<double> value) { return value ? Json(*value) : Json(nullptr); }

const char* state_name(LineStationState state) {
  switch (state) {
    case LineStationState::Alive: return "alive";
    case LineStationState::Silent: return "silent";
    case LineStationState::Ended: return "ended";
  }
  return "silent";
}

// A host's tile: its station runs of the shift taken together (one restarted is one host), its
// slots' last results by name, the newest of any run.
struct HostTile {
  std::string host;
  LineStationState state = LineStationState::Ended;
  std::int64_t first_started = 0;
  std::int64_t last_heard = 0;  // the last renewal of a lease, LEDGER_LEASE_MS before it ran out
  std::int64_t newest_started = 0;  // of the host's latest station, whose state is the host's
  std::map<std::string, LineSlotResult> slots;
};

std::vector<HostTile> host_tiles(const LineView& view) {
  std::vector<HostTile> tiles;
  for (const LineStationRow& station : view.stations) {
    auto tile = std::find_if(tiles.begin(), tiles.end(),
                             [&](const HostTile& t) { return t.host == station.host; });
    LineStationState state = line_station_state(station, view.now_unix_ms);
    std::int64_t heard = station.ended ? station.lease_until_unix_ms
                                       : station.lease_until_unix_ms - LEDGER_LEASE_MS;
    if (tile == tiles.end()) {
      tiles.push_back({station.host, state, station.started_unix_ms, heard,
                       station.started_unix_ms, {}});
      tile = tiles.end() - 1;
    }
    // A station started again on its PC takes over from one that was killed: the host is what
    // its latest station is, unless another of its stations still lives beside it.
    bool newest = station.started_unix_ms >= tile->newest_started;
    if (tile->state != LineStationState::Alive &&
        (state == LineStationState::Alive || newest)) {
      tile->state = state;
      tile->last_heard = heard;
    }
    if (newest) tile->newest_started = station.started_unix_ms;
    tile->first_started = std::min(tile->first_started, station.started_unix_ms);
    for (const LineSlotResult& slot : station.slots) {
      auto known = tile->slots.find(slot.slot);
      if (known == tile->slots.end() || known->second.end_unix_ms < slot.end_unix_ms) {
        tile->slots[slot.slot] = slot;
      }
    }
  }
  return tiles;
}

}  // namespace

void line_health_note(LineHealth& health, bool answered, std::int64_t now_unix_ms,
                      const std::string& why) {
  if (answered) {
    health.read = true;
    health.answering = true;
    health.why.clear();
    return;
  }
  if (health.answering || health.since_unix_ms == 0) health.since_unix_ms = now_unix_ms;
  health.answering = false;
  health.why = why;
}

LineStationState line_station_state(const LineStationRow& station, std::int64_t now_unix_ms) {
  if (station.ended) return LineStationState::Ended;
  return station.lease_until_unix_ms < now_unix_ms ? LineStationState::Silent
                                                   : LineStationState::Alive;
}

std::optional<double> line_boards_per_hour(std::uint64_t passed, std::int64_t from_unix_ms,
                                           std::int64_t to_unix_ms) {
  double seconds = static_cast<double>(to_unix_ms - from_unix_ms) / 1000.0;
  if (passed == 0 || seconds < RATE_AFTER_SECONDS) return std::nullopt;
  return static_cast<double>(passed) * 3600.0 / seconds;
}

std::string record_reason(const std::string& record_json) {
  Json record = Json::parse(record_json, nullptr, false);
  if (!record.is_object()) return "";
  auto reason = record.find("reason");
  return reason != record.end() && reason->is_string() ? reason->get<std::string>() : "";
}

std::string line_page_json(const LineReading& reading, const LineHealth& health) {
  const LineView& view = reading.view;
  std::int64_t shift_start = reading.shift_start_unix_ms;
  Json page;
  page["type"] = "line";
  page["now"] = iso_utc(view.now_unix_ms);
  page["shift_start"] = iso_utc(shift_start);
  Json ledger;
  ledger["answering"] = health.answering;
  ledger["read"] = health.read;
  ledger["since"] = health.answering ? Json(nullptr) : Json(iso_utc(health.since_unix_ms));
  ledger["why"] = shown(health.why);
  page["ledger"] = ledger;
  YieldRow totals;
  std::int64_t line_from = view.now_unix_ms;
  std::uint64_t alive = 0;
  Json stations = Json::array();
  for (const HostTile& tile : host_tiles(view)) {
    YieldRow yield;
    for (const YieldRow& row : reading.hosts) {
      if (row.group == tile.host) yield = row;
    }
    // The host's hours of the shift: from its first start in it to now, or to its last word.
    std::int64_t from = std::max(shift_start, tile.first_started);
    std::int64_t to = tile.state == LineStationState::Alive ? view.now_unix_ms : tile.last_heard;
    line_from = std::min(line_from, from);
    if (tile.state == LineStationState::Alive) ++alive;
    Json station;
    station["host"] = shown(tile.host);
    station["state"] = state_name(tile.state);
    station["last_heard"] = iso_utc(tile.last_heard);
    station["boards"] = yield.boards;
    station["attempts"] = yield.attempts;
    station["first_pass"] = yield.first_pass;
    station["final_pass"] = yield.final_pass;
    station["first_pass_yield_percent"] = percent(yield.first_pass, yield.boards);
    station["boards_per_hour"] = rate(line_boards_per_hour(yield.final_pass, from, to));
    Json slots = Json::array();
    for (const auto& [name, slot] : tile.slots) {
      slots.push_back({{"slot", shown(name)},
                       {"board", slot.board},
                       {"attempt", slot.attempt},
                       {"result", shown(slot.result)},
                       {"reason_code", shown(slot.reason_code)},
                       {"time", iso_utc(slot.end_unix_ms)}});
    }
    station["slots"] = slots;
    stations.push_back(station);
  }
  // Every board is of one host, its first attempt's: the hosts' rows add up to the line's.
  for (const YieldRow& row : reading.hosts) {
    totals.boards += row.boards;
    totals.attempts += row.attempts;
    totals.first_pass += row.first_pass;
    totals.final_pass += row.final_pass;
  }
  page["totals"] = {
      {"boards", totals.boards},
      {"attempts", totals.attempts},
      {"first_pass", totals.first_pass},
      {"final_pass", totals.final_pass},
      {"first_pass_yield_percent", percent(totals.first_pass, totals.boards)},
      {"final_yield_percent", percent(totals.final_pass, totals.boards)},
      {"boards_per_hour", rate(line_boards_per_hour(totals.final_pass, line_from,
                                                    view.now_unix_ms))},
      {"stations", stations.size()},
      {"stations_alive", alive}};
  page["stations"] = stations;
  Json pareto = Json::array();
  for (const ParetoRow& row : reading.pareto) {
    pareto.push_back({{"reason_code", shown(row.reason_code)}, {"attempts", row.attempts}});
  }
  page["pareto"] = pareto;
  Json failures = Json::array();
  for (const LineFailureRow& row : view.failures) {
    failures.push_back({{"time", iso_utc(row.end_unix_ms)},
                        {"host", shown(row.host)},
                        {"slot", shown(row.slot)},
                        {"board", row.board},
                        {"attempt", row.attempt},
                        {"serial", row.has_serial ? Json(row.serial) : Json(nullptr)},
                        {"result", shown(row.result)},
                        {"reason_code", shown(row.reason_code)},
                        {"reason", shown(record_reason(row.record_json))}});
  }
  page["failures"] = failures;
  return page.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace xarveld::station
