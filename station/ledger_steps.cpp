#include "station/ledger_steps.hpp"

#include <chrono>
#include <filesystem>
#include <map>
#include <vector>

#include "station/os/host.hpp"
#include "station/os/utc_time.hpp"
#include "station/view.hpp"
#include "station/web/status.hpp"

namespace xarveld::station {

namespace {
using std::chrono::milliseconds;
using std::chrono::seconds;

// At the end: how long writes the ledger has not taken yet are tried again; after an interrupt
// the operator is not kept waiting as long.
constexpr milliseconds LEDGER_LAST_TRIES{10000};
constexpr milliseconds LEDGER_LAST_TRIES_INTERRUPTED{1500};
// Plain lines: how often a wait for the ledger is said again while it lasts.
constexpr seconds WAIT_SAID_EVERY{10};
// A call under way this long is a wait too: a frozen server answers no call, late or early.
constexpr seconds CALL_SILENT_AFTER{2};

// A database's message or a host's name is shown as text, never as what moves the cursor.
void say(const std::string& line) {
  view_event(iso_utc(now_unix_ms()) + " " + plain_text(line) + "\n");
}

std::string whole_seconds(SteadyClock::duration span) {
  return std::to_string(std::chrono::duration_cast<seconds>(span).count()) + " s";
}

std::string joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
  return text;
}

// One line for the screen and the page while the ledger does not answer: how long, why, and
// what waits for it.
// What waits comes before why, so that a terminal's cut keeps it.
std::string waiting_line(const LedgerHealth& health, SteadyClock::time_point now) {
  std::vector<std::string> waits;
  if (!health.unwritten_serials.empty()) {
    std::vector<std::string> numbers;
    for (std::uint64_t serial : health.unwritten_serials) numbers.push_back(std::to_string(serial));
    waits.push_back((numbers.size() == 1 ? "serial " : "serials ") + joined(numbers));
  }
  if (health.unwritten_rows > 0) {
    waits.push_back(std::to_string(health.unwritten_rows) +
                    (health.unwritten_rows == 1 ? " attempt row" : " attempt rows"));
  }
  std::string line = "waiting for ledger " + whole_seconds(now - health.since) + ": ";
  if (!waits.empty()) line += "not yet written: " + joined(waits) + "; ";
  if (health.reservations_waiting > 0) {
    line += std::to_string(health.reservations_waiting) +
            (health.reservations_waiting == 1 ? " board waits" : " boards wait") + " for a number; ";
  }
  return line + health.why;
}

void note_health(Station& station, LedgerHealth health, SteadyClock::time_point now) {
  if (health.has_serials_left) station.serials_left = static_cast<std::int64_t>(health.serials_left);
  station.ledger_writes_pending = health.unwritten.size();
  if (health.answering && health.calling && now - health.called >= CALL_SILENT_AFTER) {
    health.answering = false;
    health.since = health.called;
    health.why = "no answer yet";
  }
  bool was_waiting = station.waiting_for_ledger;
  station.ledger_calling = health.calling;
  station.waiting_for_ledger = !health.answering;
  if (health.answering) {
    if (was_waiting) {
      say("the ledger answers again after " + whole_seconds(now - station.ledger_since));
      station.notices[NOTICE_LEDGER_WAIT].clear();
      station.ledger_waiting_line.clear();
      station.dirty = true;
    }
    return;
  }
  std::string line = waiting_line(health, now);
  station.ledger_since = health.since;
  if (!was_waiting) {
    station.ledger_said_at = now;
    say(line);
  } else if (now - station.ledger_said_at >= WAIT_SAID_EVERY) {
    station.ledger_said_at = now;
    say("still " + line);
  }
  if (line != station.ledger_waiting_line) {
    station.ledger_waiting_line = line;
    station.notices[NOTICE_LEDGER_WAIT] = line;
    station.dirty = true;
  }
}

// A successor's account: the numbers it spoiled of a station that is gone, by that station.
void say_lapsed(Station& station, const std::vector<LapsedNumber>& lapsed) {
  std::map<std::string, std::vector<std::string>> by_station;
  std::map<std::string, std::string> host_of;
  for (const LapsedNumber& number : lapsed) {
    std::string where = number.slot.empty() ? "" : " (" + number.slot + " board " +
                                                       std::to_string(number.board) + ")";
    by_station[number.station_id].push_back(std::to_string(number.serial) + where);
    host_of[number.station_id] = number.host;
  }
  for (const auto& [id, numbers] : by_station) {
    std::string line = "spoiled " + std::to_string(numbers.size()) +
                       (numbers.size() == 1 ? " number" : " numbers") +
                       " a station that is gone had reserved (host " + host_of[id] + ", station " +
                       id + "): " + joined(numbers);
    say(line);
    station.notices[NOTICE_LAPSED] = line;
    station.dirty = true;
  }
}

LedgerWrite returned_number(const Station& station, const SlotRun& slot, std::uint64_t serial) {
  LedgerWrite write;
  write.settle = true;
  write.pool = station.ledger_plan->pool;
  write.serial = serial;
  write.to = SerialState::Returned;
  write.row.attempt_id = slot.stamp.id;
  write.what = "serial " + std::to_string(serial) + " as returned (" + slot.setup.slot.name +
               " board " + std::to_string(slot.board) + ", never started)";
  return write;
}
}  // namespace

bool open_ledger(const StationOptions& options, const StationImage& image, RunPlan& run,
                 LedgerPlan& plan, std::string& why) {
  plan.open = true;
  plan.numbered = options.numbered;
  plan.location = options.ledger.empty() ? ledger_default_location() : options.ledger;
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
  if (ledger_open(plan.location, station,
                  options.new_ledger ? LedgerAccess::Create : LedgerAccess::Existing,
                  why) != LedgerStatus::Ok)
    return false;
  bool ready = !plan.numbered ||
               ledger_define_pool({plan.pool, plan.first, plan.last}, why) == LedgerStatus::Ok;
  std::uint64_t left = 0;
  std::string error;
  if (ready && plan.numbered && ledger_serials_left(plan.pool, left, error) == LedgerStatus::Ok)
    plan.serials_left = static_cast<std::int64_t>(left);
  // From here on only the ledger's thread calls the ledger.
  if (ready) ready = ledger_worker_start(plan.pool, plan.wake, why);
  if (!ready) ledger_close();
  return ready;
}

bool stamp_ready(Station& station, SlotRun& slot) {
  const LedgerPlan& plan = *station.ledger_plan;
  if (slot.stamp.id.empty()) slot.stamp.id = random_id();
  if (!plan.numbered || slot.stamp.has_serial) return true;
  if (!slot.number_asked) {
    slot.number_asked = true;
    LedgerReservation reservation{plan.pool, slot.stamp.id, slot.setup.slot.name, slot.board,
                                  slot.attempt_number};
    ledger_worker_reserve(static_cast<std::size_t>(&slot - station.slots.data()), reservation);
  }
  return false;
}

void take_ledger_answers(Station& station, SteadyClock::time_point now) {
  if (!station.ledger_plan->open) return;
  LedgerHealth health;
  std::vector<LedgerAnswer> answers = ledger_worker_take(health);
  for (LedgerAnswer& answer : answers) {
    if (!answer.reservation) {
      station.ledger_lost.push_back(answer.what);
      say("NOT IN THE LEDGER: " + answer.what);
      station.dirty = true;
      continue;
    }
    if (!answer.lapsed.empty()) say_lapsed(station, answer.lapsed);
    SlotRun& slot = station.slots.at(answer.slot);
    slot.number_asked = false;
    if (answer.status == LedgerStatus::Ok) {
      if (slot.queued && boards_may_start(station)) {
        slot.stamp.has_serial = true;
        slot.stamp.serial = answer.serial;
      } else {
        ledger_worker_write(returned_number(station, slot, answer.serial));
      }
      continue;
    }
    const LedgerPlan& plan = *station.ledger_plan;
    std::string why = answer.status == LedgerStatus::Exhausted
                          ? "pool " + plan.pool + " (" + std::to_string(plan.first) + "-" +
                                std::to_string(plan.last) + ") is exhausted; no new board starts"
                          : answer.error + "; no new board starts";
    if (!stopped_by(station, Stop::Ledger)) say(why);
    stop_new_boards(station, Stop::Ledger, why);
  }
  note_health(station, health, now);
}

void ledger_take_attempt(Station& station, const SlotRun& slot, Result result,
                         AttemptRecord& record) {
  const LedgerPlan& plan = *station.ledger_plan;
  std::string attempt = record.slot + " board " + std::to_string(record.board) + " attempt " +
                        std::to_string(record.attempt);
  // The record says why its ledger writes wait when the ledger was not answering as it ended.
  if (station.waiting_for_ledger) record.ledger_error = station.ledger_waiting_line;
  LedgerWrite write;
  write.what = attempt + " row";
  LedgerAttemptRow& row = write.row;
  row.attempt_id = record.attempt_id;
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
  if (record.has_serial) {
    // The number and the row go in one write, so that no moment holds one without the other.
    bool untouched = !slot.attempt.failure.empty() || attempt_never_wrote(slot.attempt, result);
    write.settle = true;
    write.with_row = true;
    write.pool = plan.pool;
    write.serial = record.serial;
    write.to = result == Result::Pass ? SerialState::Used
                                      : untouched ? SerialState::Returned : SerialState::Spoiled;
    write.what = "serial " + std::to_string(record.serial) + " as " +
                 serial_state_name(write.to) + " (" + attempt + ") and its row";
  }
  ledger_worker_write(write);
}

void ledger_finish(Station& station) {
  for (SlotRun& slot : station.slots) {
    if (slot.stamp.has_serial) {
      ledger_worker_write(returned_number(station, slot, slot.stamp.serial));
      slot.stamp.has_serial = false;
    }
  }
  ledger_worker_cancel_reservations();
  SteadyClock::time_point deadline =
      SteadyClock::now() + (stopped_by(station, Stop::Interrupted) ? LEDGER_LAST_TRIES_INTERRUPTED
                                                                   : LEDGER_LAST_TRIES);
  std::vector<LedgerAnswer> answers;
  std::vector<std::string> unwritten;
  ledger_worker_finish(deadline, answers, unwritten);
  for (const LedgerAnswer& answer : answers) {
    if (!answer.reservation) station.ledger_lost.push_back(answer.what);
    if (!answer.lapsed.empty()) say_lapsed(station, answer.lapsed);
  }
  for (const std::string& what : unwritten) station.ledger_lost.push_back(what);
}

}  // namespace xarveld::station
