#include "station/ledger_steps.hpp"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <vector>

#include "station/os/child_process.hpp"
#include "station/os/host.hpp"
#include "station/os/utc_time.hpp"
#include "station/view.hpp"
#include "station/web/status.hpp"

namespace xarveld::station {

namespace {
using std::chrono::milliseconds;

// At the end: how long writes the ledger has not taken yet are tried again.
constexpr milliseconds LEDGER_LAST_TRIES{10000};

void say(const std::string& line) { view_event(iso_utc(now_unix_ms()) + " " + line + "\n"); }

// Said once per wait: from the first call the ledger does not answer to the first it does.
void ledger_out_of_reach(Station& station) {
  if (station.waiting_for_ledger) return;
  station.waiting_for_ledger = true;
  say("waiting for ledger: " + station.ledger_writes.last_error);
  station.dirty = true;
}

void ledger_answered(Station& station) {
  if (!station.waiting_for_ledger) return;
  station.waiting_for_ledger = false;
  say("the ledger answers again");
  station.dirty = true;
}
}  // namespace

bool open_ledger(const StationOptions& options, const StationImage& image, RunPlan& run,
                 LedgerPlan& plan, std::string& why) {
  plan.open = true;
  plan.numbered = options.numbered;
  plan.location = options.ledger.empty() ? LEDGER_DEFAULT_FILE : options.ledger;
  if (plan.numbered) {
    if (!place_serial(options.serial_format, options.serial_at, image, run.serial, why))
      return false;
    plan.first = options.serial_first;
    plan.last = options.serial_last;
    plan.pool = options.pool.empty() ? std::filesystem::path(image.facts.name).filename().string()
                                     : options.pool;
  }
  plan.station_id = random_id();
  LedgerStation station{plan.station_id, run.host, process_id()};
  if (ledger_open(plan.location, station, why) != LedgerStatus::Ok) return false;
  if (plan.numbered &&
      ledger_define_pool({plan.pool, plan.first, plan.last}, why) != LedgerStatus::Ok) {
    ledger_close();
    return false;
  }
  return true;
}

void note_serials_left(Station& station) {
  if (!status_serving()) return;
  std::uint64_t left = 0;
  std::string error;
  if (ledger_serials_left(station.ledger_plan->pool, left, error) == LedgerStatus::Ok)
    station.serials_left = static_cast<std::int64_t>(left);
}

bool stamp_attempt(Station& station, SlotRun& slot, SteadyClock::time_point now) {
  const LedgerPlan& plan = *station.ledger_plan;
  if (slot.stamp.id.empty()) slot.stamp.id = random_id();
  if (!plan.numbered) return true;
  if (!ledger_may_try(station.ledger_writes, now)) return false;
  std::string error;
  std::vector<LapsedNumber> lapsed;
  LedgerStatus status = ledger_reserve({plan.pool, slot.stamp.id, slot.setup.slot.name, slot.board,
                                        slot.attempt_number},
                                       slot.stamp.serial, lapsed, error);
  for (const LapsedNumber& number : lapsed) {
    say("serial " + std::to_string(number.serial) + " of pool " + number.pool + " spoiled: " +
        number.host + " slot " + number.slot + " board " + std::to_string(number.board) +
        " held it, and its station (" + number.station_id + ") has lapsed");
  }
  if (status == LedgerStatus::Ok) {
    ledger_reached(station.ledger_writes);
    ledger_answered(station);
    slot.stamp.has_serial = true;
    note_serials_left(station);
    return true;
  }
  if (status == LedgerStatus::Unreachable) {
    ledger_back_off(station.ledger_writes, now, error);
    ledger_out_of_reach(station);
    return false;
  }
  std::string why = status == LedgerStatus::Exhausted
                        ? "pool " + plan.pool + " (" + std::to_string(plan.first) + "-" +
                              std::to_string(plan.last) + ") is exhausted; no new board starts"
                        : error + "; no new board starts";
  stop_new_boards(station, Stop::Ledger, why);
  say(why);
  return false;
}

void ledger_take_attempt(Station& station, const SlotRun& slot, Result result,
                         AttemptRecord& record, SteadyClock::time_point now) {
  const LedgerPlan& plan = *station.ledger_plan;
  LedgerWrite write;
  write.what = record.slot + " board " + std::to_string(record.board) + " attempt " +
               std::to_string(record.attempt);
  write.row.attempt_id = record.attempt_id;
  if (record.has_serial) {
    bool untouched = !slot.attempt.failure.empty() || worth_retrying(result, slot.attempt.progress);
    write.settle = true;
    write.pool = plan.pool;
    write.serial = record.serial;
    write.to = result == Result::Pass ? SerialState::Used
                                      : untouched ? SerialState::Returned : SerialState::Spoiled;
    std::string what = write.what;
    write.what += " serial " + std::to_string(record.serial) + " as " + serial_state_name(write.to);
    std::string error;
    if (ledger_write(station.ledger_writes, write, now, error) != LedgerStatus::Ok)
      record.ledger_error = error;
    write.what = what + " row";
  } else {
    write.what += " row";
  }
  LedgerAttemptRow& row = write.row;
  row.station_id = plan.station_id;
  row.host = record.host;
  row.slot = record.slot;
  row.board = record.board;
  row.attempt = record.attempt;
  row.start_unix_ms = record.start_unix_ms;
  row.end_unix_ms = record.end_unix_ms;
  row.result = record.result;
  row.exit_status = record.exit_status;
  row.pool = record.has_serial ? plan.pool : "";
  row.has_serial = record.has_serial;
  row.serial = record.serial;
  row.image_sha256 = station.run->images.back().facts.sha256;
  row.image_sha256_burnt = record.image_sha256_burnt;
  row.record_json = record_json_line(record);
  write.settle = false;
  std::string error;
  LedgerStatus row_status = ledger_write(station.ledger_writes, write, now, error);
  if (row_status != LedgerStatus::Ok && record.ledger_error.empty()) {
    record.ledger_error = error;
    // The row that waits holds the line as the record has it.
    if (row_status == LedgerStatus::Unreachable) {
      station.ledger_writes.pending.back().row.record_json = record_json_line(record);
    }
  }
  if (!record.ledger_error.empty()) {
    if (station.ledger_writes.pending.empty()) {
      station.ledger_lost.push_back(write.what + ": " + record.ledger_error);
      say(write.what + " NOT IN THE LEDGER: " + record.ledger_error);
    } else {
      ledger_out_of_reach(station);
    }
  }
}

void flush_ledger(Station& station, SteadyClock::time_point now) {
  std::size_t lost = station.ledger_lost.size();
  ledger_flush(station.ledger_writes, now, station.ledger_lost);
  for (std::size_t i = lost; i < station.ledger_lost.size(); ++i) {
    say("NOT IN THE LEDGER: " + station.ledger_lost[i]);
  }
  if (station.ledger_writes.pending.empty() && !station.ledger_writes.backing_off) ledger_answered(station);
}

void renew_ledger_lease(Station& station, SteadyClock::time_point now) {
  std::string error;
  if (ledger_renew_lease(error) == LedgerStatus::Unreachable) {
    ledger_back_off(station.ledger_writes, now, error);
    ledger_out_of_reach(station);
  } else if (station.ledger_writes.pending.empty()) {
    ledger_reached(station.ledger_writes);
    ledger_answered(station);
  }
  station.lease_renewal = now + milliseconds(LEDGER_RENEW_MS);
}

void ledger_last_tries(Station& station) {
  SteadyClock::time_point last_try = SteadyClock::now() + LEDGER_LAST_TRIES;
  while (!station.ledger_writes.pending.empty()) {
    SteadyClock::time_point now = SteadyClock::now();
    station.ledger_writes.backing_off = false;
    flush_ledger(station, now);
    if (station.ledger_writes.pending.empty() || now >= last_try) break;
    wait_for_activity(wait_milliseconds(now, std::min(now + milliseconds(1000), last_try)),
                      {});
  }
  for (const LedgerWrite& write : station.ledger_writes.pending) {
    station.ledger_lost.push_back(write.what + ": " + station.ledger_writes.last_error);
  }
}

}  // namespace xarveld::station
