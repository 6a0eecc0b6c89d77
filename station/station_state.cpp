#include "station/station_state.hpp"

#include <chrono>

namespace xarveld::station {

namespace {
using std::chrono::milliseconds;
}  // namespace

namespace {
Notice notice_of(Stop why) {
  switch (why) {
    case Stop::Interrupted: return NOTICE_INTERRUPTED;
    case Stop::RecordLost: return NOTICE_RECORD_LOST;
    case Stop::Ledger: return NOTICE_LEDGER_STOP;
  }
  return NOTICE_LEDGER_STOP;
}

std::string never_started(Stop why) {
  switch (why) {
    case Stop::Interrupted: return "interrupted before it started";
    case Stop::RecordLost: return "not started: the record cannot be written";
    case Stop::Ledger: return "not started: no number from the ledger";
  }
  return "not started";
}
}  // namespace

const char* const NOT_BURNT = "NOT BURNT";

void stop_new_boards(Station& station, Stop why, const std::string& line) {
  station.stopped |= static_cast<unsigned>(why);
  ledger_worker_cancel_reservations();
  for (SlotRun& slot : station.slots) {
    if (!slot.queued) continue;
    // A board whose number came before the pool ran out still gets it: the numbers are asked
    // for several slots at once, and their answers come in together.
    if (why == Stop::Ledger && slot.stamp.has_serial) continue;
    slot.queued = false;
    slot.has_result = true;
    slot.last_passed = false;
    if (slot.attempt_number > 1) {
      // The board was burnt and failed; its retry never came.
      slot.failed += 1;
      continue;
    }
    slot.result = NOT_BURNT;
    slot.message = never_started(why);
    slot.reason.clear();
    slot.reason_code.clear();
    slot.serial.clear();
    slot.seconds = 0;
  }
  if (!line.empty()) station.notices[notice_of(why)] = line;
  station.dirty = true;
}

void image_sizes(const RunPlan& run, std::uint64_t& driver, std::uint64_t& image) {
  driver = image = 0;
  for (const StationImage& i : run.images) (i.facts.role == "driver" ? driver : image) = i.facts.size;
}

StatusSlot slot_status(const Station& station, const SlotRun& slot, SteadyClock::time_point now) {
  StatusSlot status;
  status.name = plain_text(slot.setup.slot.name);
  status.port = plain_text(slot.setup.slot.port);
  status.state = slot.running                ? SlotState::Running
                 : slot.queued               ? SlotState::Queued
                 : station.options->loop     ? SlotState::Waiting
                                             : SlotState::Done;
  status.board = slot.board;
  status.attempt = slot.attempt_number;
  status.passed = slot.passed;
  status.failed = slot.failed;
  status.phase = "finished";
  status.seconds = slot.seconds;
  status.result = slot.result;
  status.message = slot.message;
  status.reason = slot.reason;
  status.reason_code = slot.reason_code;
  status.serial = slot.serial;
  status.waiting_for_ledger = slot.queued && station.waiting_for_ledger;
  status.backup = !slot.attempt.backup_sha256.empty();
  if (slot.running) {
    const Attempt& attempt = slot.attempt;
    std::uint64_t driver = 0, image = 0;
    image_sizes(*station.run, driver, image);
    status.phase = attempt.backing_up ? "backup" : phase_name(attempt.progress.phase);
    status.bytes_done = progress_bytes_done(attempt.progress, driver, image);
    status.bytes_total = progress_bytes_total(attempt.progress, driver, image);
    double phase_seconds = seconds_since(attempt.phase_started, now);
    status.kib_per_second = phase_seconds > 0 ? status.bytes_done / 1024.0 / phase_seconds : 0;
    status.seconds = seconds_since(attempt.started, now);
  }
  return status;
}

StatusSnapshot station_snapshot(const Station& station, SteadyClock::time_point now) {
  StatusSnapshot snapshot;
  for (const SlotRun& slot : station.slots) {
    snapshot.slots.push_back(slot_status(station, slot, now));
    snapshot.passed += slot.passed;
    snapshot.failed += slot.failed;
  }
  snapshot.hours = seconds_since(station.started, now) / 3600.0;
  snapshot.serials_left = station.serials_left;
  for (const std::string& notice : station.notices) {
    if (!notice.empty()) snapshot.notices.push_back(plain_text(notice));
  }
  return snapshot;
}

int wait_milliseconds(SteadyClock::time_point now, SteadyClock::time_point until) {
  if (until == SteadyClock::time_point::max()) return -1;
  if (until <= now) return 0;
  // Rounded up, so that the wait never ends just short of the deadline and spins.
  return static_cast<int>(std::chrono::ceil<milliseconds>(until - now).count());
}

}  // namespace xarveld::station
