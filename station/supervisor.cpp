#include "station/supervisor.hpp"

#include <algorithm>
#include <optional>

#include "station/child_process.hpp"
#include "station/ledger/ledger_schema.hpp"
#include "station/operator_input.hpp"
#include "station/record_file.hpp"
#include "station/station_interrupt.hpp"
#include "station/terminal.hpp"
#include "station/utc_time.hpp"
#include "station/view.hpp"
#include "station/web/status.hpp"

namespace xarveld::station {

namespace {
using std::chrono::milliseconds;

constexpr milliseconds KILL_GRACE{3000};
constexpr milliseconds PORT_CHECK{250};
constexpr milliseconds CLOCK_TICK{1000};
constexpr milliseconds STATUS_PROGRESS_EVERY{100};  // the page's progress: 10 times a second
constexpr milliseconds STATUS_SNAPSHOT_EVERY{500};
// At the end: how long writes the ledger has not taken yet are tried again.
constexpr milliseconds LEDGER_LAST_TRIES{10000};

struct SlotRun {
  SlotSetup setup;
  SlotView view;
  int board = 0;
  int attempt_number = 0;
  bool queued = false;
  bool running = false;
  bool last_passed = false;
  bool has_result = false;
  bool port_gone = false;  // --loop: the port went away since the slot finished
  std::string port_seen;   // --loop: what the port was when the slot finished
  Attempt attempt;
  SteadyClock::time_point deadline;  // --timeout
  bool terminated = false;           // SIGTERM sent for the time-out
  bool timed_out = false;
  bool killed = false;
  SteadyClock::time_point kill_at;
  bool leftovers_seen = false;  // the tool has ended, its output is still held open
  SteadyClock::time_point leftovers_at;
  Phase status_phase = Phase::Connecting;  // what the page was last told of the running attempt
  std::uint64_t status_bytes = 0;
  SteadyClock::time_point status_progress_at;
  AttemptStamp stamp;  // the next attempt's id and number; kept while the ledger is out of reach
};

struct Station {
  const StationOptions* options = nullptr;
  const RunPlan* run = nullptr;
  std::vector<SlotRun> slots;
  bool interrupted = false;
  // An append to the record failed: no new board starts, for no board may go unrecorded.
  bool record_lost = false;
  std::vector<Unrecorded> unrecorded;
  SteadyClock::time_point started;
  SteadyClock::time_point stop_deadline;  // after an interrupt: SIGKILL for what still runs
  bool dirty = true;
  SteadyClock::time_point status_published;
  LedgerQueue ledger;
  bool waiting_for_ledger = false;  // the ledger does not answer: no board starts with a number
  std::string ledger_stop;          // the pool is exhausted, or the ledger refused a number
  std::vector<std::string> ledger_lost;  // writes the ledger never took
  std::optional<std::int64_t> serials_left;  // in the pool, as the ledger last said
  SteadyClock::time_point lease_renewal;
};

// Whether a board may start: not after an interrupt, nor once the record could not be written,
// nor once the pool has no number for it.
bool boards_may_start(const Station& station) {
  return !station.interrupted && !station.record_lost && station.ledger_stop.empty();
}

double seconds_since(SteadyClock::time_point start, SteadyClock::time_point now) {
  return std::chrono::duration<double>(now - start).count();
}

// The tool names the images by their copies' long names, or the numbered image by its name in
// the attempt's directory; the operator knows them by theirs.
std::string shown_message(const RunPlan& run, std::string message, const std::string& numbered) {
  for (const StationImage& image : run.images) {
    const std::string& copy = image.facts.role == "image" && !numbered.empty() ? numbered : image.copy;
    std::size_t at = message.find(copy);
    if (at != std::string::npos) message.replace(at, copy.size(), image.facts.name);
  }
  return message;
}

void queue_board(SlotRun& slot) {
  ++slot.board;
  slot.attempt_number = 1;
  slot.queued = true;
  slot.port_gone = false;
  // The last result stays on the row until the next board starts.
}

std::vector<SlotView> views(const Station& station, SteadyClock::time_point now) {
  std::vector<SlotView> list;
  for (const SlotRun& slot : station.slots) {
    SlotView view = slot.view;
    view.running = slot.running;
    view.queued = slot.queued;
    view.attempt = slot.attempt_number;
    view.waiting_for_ledger = slot.queued && station.waiting_for_ledger;
    if (slot.running) {
      const Attempt& attempt = slot.attempt;
      std::uint64_t driver = 0, image = 0;
      for (const StationImage& i : station.run->images) {
        (i.facts.role == "driver" ? driver : image) = i.facts.size;
      }
      view.phase = attempt.progress.phase;
      view.bytes_done = progress_bytes_done(attempt.progress, driver, image);
      view.bytes_total = progress_bytes_total(attempt.progress, driver, image);
      double phase_seconds = seconds_since(attempt.phase_started, now);
      view.kib_per_second = phase_seconds > 0 ? view.bytes_done / 1024.0 / phase_seconds : 0;
      view.seconds = seconds_since(attempt.started, now);
    }
    list.push_back(view);
  }
  return list;
}

Totals totals(const Station& station, SteadyClock::time_point now) {
  Totals sum;
  for (const SlotRun& slot : station.slots) {
    sum.passed += slot.view.passed;
    sum.failed += slot.view.failed;
  }
  sum.hours = seconds_since(station.started, now) / 3600.0;
  return sum;
}

// The status page (--http): the slots and totals at most every STATUS_SNAPSHOT_EVERY, or at once
// when forced, and one event per step of an attempt.
void publish_status(Station& station, SteadyClock::time_point now, bool force) {
  if (!status_serving()) return;
  if (!force && now - station.status_published < STATUS_SNAPSHOT_EVERY) return;
  station.status_published = now;
  StatusSnapshot snapshot;
  std::vector<SlotView> list = views(station, now);
  for (std::size_t i = 0; i < list.size(); ++i) {
    const SlotView& view = list[i];
    StatusSlot slot{view.name, view.port, "done", station.slots[i].board, view.attempt,
                    view.passed, view.failed, "finished", view.bytes_done, view.bytes_total,
                    view.kib_per_second, view.seconds, view.result, view.message, view.reason};
    if (view.running) {
      slot.state = "running";
      slot.phase = phase_name(view.phase);
    } else if (view.queued) {
      slot.state = "queued";
    } else if (view.looping) {
      slot.state = "waiting";
    }
    snapshot.slots.push_back(slot);
  }
  Totals sum = totals(station, now);
  snapshot.passed = sum.passed;
  snapshot.failed = sum.failed;
  snapshot.hours = sum.hours;
  snapshot.serials_left = station.serials_left;
  status_publish(snapshot);
}

StatusEvent status_event_of(StatusEventKind kind, const SlotRun& slot) {
  StatusEvent event;
  event.kind = kind;
  event.unix_ms = now_unix_ms();
  event.slot = slot.setup.slot.name;
  event.board = slot.board;
  event.attempt = slot.attempt_number;
  event.directory = slot.attempt.directory;
  return event;
}

// A new phase at once; progress within a phase at most every STATUS_PROGRESS_EVERY.
void publish_progress(const Station& station, SlotRun& slot, SteadyClock::time_point now) {
  if (!status_serving()) return;
  const Progress& progress = slot.attempt.progress;
  std::uint64_t driver = 0, image = 0;
  for (const StationImage& i : station.run->images) {
    (i.facts.role == "driver" ? driver : image) = i.facts.size;
  }
  std::uint64_t done = progress_bytes_done(progress, driver, image);
  if (progress.phase != slot.status_phase) {
    slot.status_phase = progress.phase;
    slot.status_bytes = 0;
    StatusEvent event = status_event_of(StatusEventKind::Phase, slot);
    event.phase = phase_name(progress.phase);
    status_event(event);
  }
  if (done == slot.status_bytes || now - slot.status_progress_at < STATUS_PROGRESS_EVERY) return;
  slot.status_bytes = done;
  slot.status_progress_at = now;
  StatusEvent event = status_event_of(StatusEventKind::Progress, slot);
  event.phase = phase_name(progress.phase);
  event.bytes_done = done;
  event.bytes_total = progress_bytes_total(progress, driver, image);
  status_event(event);
}

void start_attempt(Station& station, SlotRun& slot, SteadyClock::time_point now) {
  slot.queued = false;
  slot.running = true;
  slot.terminated = slot.timed_out = slot.killed = slot.leftovers_seen = false;
  if (slot.attempt_number == 1) {
    slot.view.result.clear();
    slot.view.message.clear();
    slot.view.reason.clear();
  }
  attempt_start(*station.run, slot.setup.slot, slot.stamp, slot.attempt);
  slot.view.serial = slot.stamp.has_serial ? std::to_string(slot.stamp.serial) : "";
  slot.stamp = AttemptStamp{};
  if (station.options->timeout_seconds > 0) {
    slot.deadline = now + std::chrono::seconds(station.options->timeout_seconds);
  }
  slot.view.attempt = slot.attempt_number;
  view_event(plain_start_line(iso_utc(now_unix_ms()), slot.view, slot.board,
                              slot.attempt.directory));
  slot.status_phase = Phase::Connecting;
  slot.status_bytes = 0;
  StatusEvent event = status_event_of(StatusEventKind::Start, slot);
  event.unix_ms = slot.attempt.start_unix_ms;
  status_event(event);
  station.dirty = true;
}

// The boards that run go on to their end and are recorded if the record takes them; the
// operator sees why no other starts until the station ends, and which attempts are missing.
void note_record_lost(Station& station, const AttemptRecord& record, const std::string& reason) {
  station.record_lost = true;
  for (SlotRun& slot : station.slots) slot.queued = false;
  Unrecorded missing{record.slot, record.board, record.attempt, record.result};
  station.unrecorded.push_back(missing);
  const std::string& path = station.run->record_path;
  view_keep_line(render_record_loss(path, reason, station.unrecorded.size()));
  view_event(plain_unrecorded_line(iso_utc(record.end_unix_ms), path, reason, missing));
}

void say(const std::string& line) { view_event(iso_utc(now_unix_ms()) + " " + line + "\n"); }

// Said once per wait: from the first call the ledger does not answer to the first it does.
void ledger_out_of_reach(Station& station) {
  if (station.waiting_for_ledger) return;
  station.waiting_for_ledger = true;
  say("waiting for ledger: " + station.ledger.last_error);
  station.dirty = true;
}

void ledger_answered(Station& station) {
  if (!station.waiting_for_ledger) return;
  station.waiting_for_ledger = false;
  say("the ledger answers again");
  station.dirty = true;
}

// The numbers left in the pool, for the page: asked of the ledger, which every station of the
// line draws from, after each reservation; only while a page is served.
void note_serials_left(Station& station) {
  if (!status_serving()) return;
  std::vector<PoolReport> pools;
  std::string error;
  if (ledger_report(pools, nullptr, error) != LedgerStatus::Ok) return;
  for (const PoolReport& pool : pools) {
    if (pool.pool == station.run->ledger.pool) station.serials_left = static_cast<std::int64_t>(pool.left);
  }
}

// The attempt's id and, with numbers, its number, reserved and committed before its tool runs.
// False when the slot cannot start now: the ledger is out of reach (the slot waits and the next
// try is after the back-off), or the pool has no number left (no board starts any more).
bool stamp_attempt(Station& station, SlotRun& slot, SteadyClock::time_point now) {
  const LedgerPlan& plan = station.run->ledger;
  if (slot.stamp.id.empty()) slot.stamp.id = random_id();
  if (!plan.numbered) return true;
  if (!ledger_may_try(station.ledger, now)) return false;
  std::string error;
  LedgerStatus status = ledger_reserve(plan.pool, slot.stamp.id, slot.stamp.serial, error);
  if (status == LedgerStatus::Ok) {
    ledger_reached(station.ledger);
    ledger_answered(station);
    slot.stamp.has_serial = true;
    note_serials_left(station);
    return true;
  }
  if (status == LedgerStatus::Unreachable) {
    ledger_back_off(station.ledger, now, error);
    ledger_out_of_reach(station);
    return false;
  }
  station.ledger_stop = status == LedgerStatus::Exhausted
                            ? "pool " + plan.pool + " (" + std::to_string(plan.first) + "-" +
                                  std::to_string(plan.last) + ") is exhausted; no new board starts"
                            : error + "; no new board starts";
  for (SlotRun& other : station.slots) other.queued = false;
  view_keep_line(station.ledger_stop);
  say(station.ledger_stop);
  station.dirty = true;
  return false;
}

// Settles the attempt's number (used when its board passed; returned when the device was never
// touched, the rule of a retry; else spoiled) and puts its row in the ledger. What the ledger
// cannot take now waits in the queue, and the record says why.
void ledger_take_attempt(Station& station, const SlotRun& slot, Result result,
                         AttemptRecord& record, SteadyClock::time_point now) {
  const LedgerPlan& plan = station.run->ledger;
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
    record.ledger_error = ledger_write(station.ledger, write, now);
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
  std::string error = ledger_write(station.ledger, write, now);
  if (!error.empty() && record.ledger_error.empty()) {
    record.ledger_error = error;
    // The row that waits holds the line as the record has it.
    if (!station.ledger.pending.empty()) {
      station.ledger.pending.back().row.record_json = record_json_line(record);
    }
  }
  if (!record.ledger_error.empty()) {
    if (station.ledger.pending.empty()) {
      station.ledger_lost.push_back(write.what + ": " + record.ledger_error);
      say(write.what + " NOT IN THE LEDGER: " + record.ledger_error);
    } else {
      ledger_out_of_reach(station);
    }
  }
}

void flush_ledger(Station& station, SteadyClock::time_point now) {
  std::size_t lost = station.ledger_lost.size();
  ledger_flush(station.ledger, now, station.ledger_lost);
  for (std::size_t i = lost; i < station.ledger_lost.size(); ++i) {
    say("NOT IN THE LEDGER: " + station.ledger_lost[i]);
  }
  if (station.ledger.pending.empty() && !station.ledger.backing_off) ledger_answered(station);
}

void finish_attempt(Station& station, SlotRun& slot, SteadyClock::time_point now) {
  RunEnd end;
  end.exit_status = slot.attempt.exit_status;
  end.timed_out = slot.timed_out;
  end.interrupted = station.interrupted;
  Result result = slot.attempt.failure.empty() ? classify_run(end) : Result::Fail;
  AttemptRecord record = attempt_finish(*station.run, slot.setup.slot, slot.setup.identity,
                                        slot.board, slot.attempt_number, result, slot.attempt);
  if (station.run->ledger.open) ledger_take_attempt(station, slot, result, record, now);
  std::string error;
  bool recorded = record_append(station.run->record_path, record_json_line(record), error) != 0;
  slot.running = false;
  slot.view.seconds = seconds_since(slot.attempt.started, now);
  slot.view.result = record.result;
  const std::string numbered = record.has_serial ? record.tool_command.back() : "";
  slot.view.message = shown_message(*station.run, record.last_line, numbered);
  slot.view.reason = shown_message(*station.run, record.reason, numbered);
  slot.view.attempt = slot.attempt_number;
  view_event(plain_result_line(iso_utc(record.end_unix_ms), slot.view, slot.board));
  StatusEvent event = status_event_of(StatusEventKind::Result, slot);
  event.unix_ms = record.end_unix_ms;
  event.result = record.result;
  event.exit_status = record.exit_status;
  event.seconds = static_cast<double>(record.end_unix_ms - record.start_unix_ms) / 1000.0;
  event.message = slot.view.message;
  event.reason = slot.view.reason;
  status_event(event);
  event = status_event_of(StatusEventKind::Record, slot);
  event.written = recorded;
  event.error = error;
  status_event(event);
  if (!recorded) note_record_lost(station, record, error);
  bool retry = boards_may_start(station) && worth_retrying(result, slot.attempt.progress) &&
               slot.attempt_number <= station.options->retries;
  if (retry) {
    ++slot.attempt_number;
    slot.queued = true;
  } else {
    slot.has_result = true;
    slot.port_seen = station.options->loop ? port_presence(slot.setup.slot.port) : "";
    slot.last_passed = result == Result::Pass;
    (slot.last_passed ? slot.view.passed : slot.view.failed) += 1;
  }
  station.dirty = true;
}

void interrupt_all(Station& station, SteadyClock::time_point now) {
  station.interrupted = true;
  station.stop_deadline = now + KILL_GRACE;
  for (SlotRun& slot : station.slots) {
    slot.queued = false;
    if (slot.running && slot.attempt.child >= 0) {
      child_signal(slot.attempt.child, station_interrupt_for_child());
    }
  }
  operator_input_stop();
  station.dirty = true;
}

// SIGTERM past the time-out, SIGKILL 3 s later; after an interrupt, SIGKILL to what has not
// ended within 3 s. Each goes to the tool's whole process group, so it reaches what a wrapper
// --tool started too, also after the wrapper itself has ended. Once the tool has ended, what it
// left holding its output open has 3 s before it is killed and the output let go. Returns the
// time of the next such step, for the wait.
SteadyClock::time_point enforce_deadlines(Station& station, SteadyClock::time_point now) {
  SteadyClock::time_point next = SteadyClock::time_point::max();
  for (SlotRun& slot : station.slots) {
    if (!slot.running || slot.attempt.child < 0) continue;
    if (station.options->timeout_seconds > 0 && !slot.terminated && !slot.attempt.ended) {
      if (now >= slot.deadline) {
        slot.terminated = slot.timed_out = true;
        slot.kill_at = now + KILL_GRACE;
        child_signal(slot.attempt.child, ChildSignal::Terminate);
      } else {
        next = std::min(next, slot.deadline);
      }
    }
    SteadyClock::time_point kill_at = SteadyClock::time_point::max();
    if (slot.terminated) kill_at = slot.kill_at;
    if (station.interrupted) kill_at = std::min(kill_at, station.stop_deadline);
    if (!slot.killed && kill_at != SteadyClock::time_point::max()) {
      if (now >= kill_at) {
        slot.killed = true;
        child_signal(slot.attempt.child, ChildSignal::Kill);
      } else {
        next = std::min(next, kill_at);
      }
    }
    if (slot.attempt.ended) {
      if (!slot.leftovers_seen) {
        slot.leftovers_seen = true;
        slot.leftovers_at = now + KILL_GRACE;
      }
      if (now >= slot.leftovers_at) {
        child_signal(slot.attempt.child, ChildSignal::Kill);
        child_abandon_output(slot.attempt.child);
        next = now;  // taken in at once, with nothing left to wake the wait
      } else {
        next = std::min(next, slot.leftovers_at);
      }
    }
  }
  return next;
}

// --loop: a finished slot starts its next board on Enter, or when its port has gone and come
// back, seen gone or seen replaced.
void serve_next_boards(Station& station) {
  int lines = operator_input_take_lines();
  for (SlotRun& slot : station.slots) {
    if (slot.running || slot.queued) continue;
    if (lines > 0) {
      queue_board(slot);
      station.dirty = true;
      continue;
    }
    std::string now = port_presence(slot.setup.slot.port);
    if (now.empty()) {
      slot.port_gone = true;
    } else if (slot.port_gone || now != slot.port_seen) {
      queue_board(slot);
      station.dirty = true;
    }
  }
}

int wait_milliseconds(SteadyClock::time_point now, SteadyClock::time_point until) {
  if (until == SteadyClock::time_point::max()) return -1;
  if (until <= now) return 0;
  // Rounded up, so that the wait never ends just short of the deadline and spins.
  return static_cast<int>(std::chrono::ceil<milliseconds>(until - now).count());
}
}  // namespace

int supervise(const StationOptions& options, const RunPlan& run, const std::vector<SlotSetup>& setups,
              bool terminal, bool colour) {
  Station station;
  station.options = &options;
  station.run = &run;
  station.started = SteadyClock::now();
  for (const SlotSetup& setup : setups) {
    SlotRun slot;
    slot.setup = setup;
    slot.view.name = setup.slot.name;
    slot.view.port = setup.slot.port;
    slot.view.looping = options.loop;
    queue_board(slot);
    station.slots.push_back(slot);
  }
  view_begin(terminal, colour);
  if (run.ledger.numbered) note_serials_left(station);
  if (options.loop) operator_input_start();
  std::size_t jobs = options.jobs > 0 ? static_cast<std::size_t>(options.jobs) : setups.size();

  for (;;) {
    SteadyClock::time_point now = SteadyClock::now();
    if (!station.interrupted && station_interrupt_signal() != 0) interrupt_all(station, now);
    if (run.ledger.open && now >= station.lease_renewal && ledger_may_try(station.ledger, now)) {
      std::string error;
      if (ledger_renew_lease(error) == LedgerStatus::Unreachable) {
        ledger_back_off(station.ledger, now, error);
        ledger_out_of_reach(station);
      } else if (station.ledger.pending.empty()) {
        ledger_reached(station.ledger);
        ledger_answered(station);
      }
      station.lease_renewal = now + milliseconds(LEDGER_RENEW_MS);
    }
    if (!station.ledger.pending.empty() && ledger_may_try(station.ledger, now))
      flush_ledger(station, now);

    for (SlotRun& slot : station.slots) {
      if (!slot.running) continue;
      if (attempt_poll(slot.attempt)) {
        finish_attempt(station, slot, now);
        station.status_published = {};
      } else {
        station.dirty = station.dirty || terminal;
        publish_progress(station, slot, now);
      }
    }
    if (options.loop && boards_may_start(station)) serve_next_boards(station);
    auto running = static_cast<std::size_t>(std::count_if(
        station.slots.begin(), station.slots.end(), [](const SlotRun& s) { return s.running; }));
    for (SlotRun& slot : station.slots) {
      if (!boards_may_start(station) || running >= jobs) break;
      if (slot.queued) {
        if (!stamp_attempt(station, slot, now)) break;
        start_attempt(station, slot, now);
        ++running;
      }
    }
    bool queued = std::any_of(station.slots.begin(), station.slots.end(),
                              [](const SlotRun& s) { return s.queued; });
    if (running == 0 && !queued && (!options.loop || !boards_may_start(station))) break;

    SteadyClock::time_point wake = enforce_deadlines(station, now);
    if (options.loop && boards_may_start(station)) wake = std::min(wake, now + PORT_CHECK);
    if (terminal && running > 0) wake = std::min(wake, now + CLOCK_TICK);
    // A renewal that is due waits out the back-off, as every other call does.
    if (run.ledger.open) {
      wake = std::min(wake, station.ledger.backing_off
                                ? std::max(station.lease_renewal, station.ledger.retry_at)
                                : station.lease_renewal);
    }
    if (station.ledger.backing_off && (queued || !station.ledger.pending.empty()))
      wake = std::min(wake, station.ledger.retry_at);
    // What the station's own output has not taken yet goes on without waiting for it; the wait
    // below wakes when it can take more.
    terminal_flush(0);
    publish_status(station, now, false);
    if (station.dirty) {
      int due = view_refresh(views(station, now), totals(station, now), false);
      if (due >= 0) {
        wake = std::min(wake, now + milliseconds(due));
      } else if (due != VIEW_WAITS_FOR_OUTPUT) {
        station.dirty = false;
      }
    }
    // A slot whose start failed has already ended: no wait before it is taken in.
    bool ended_at_once = std::any_of(station.slots.begin(), station.slots.end(),
                                     [](const SlotRun& s) { return s.running && s.attempt.child < 0; });
    if (ended_at_once) continue;
    wait_for_activity(wait_milliseconds(now, wake),
                      {station_interrupt_wake(), operator_input_wake()}, terminal_wake());
  }
  operator_input_stop();
  // What the ledger has not taken is tried a while longer; a reservation left unsettled is spoiled
  // once this station's lease lapses, never handed out again.
  SteadyClock::time_point last_try = SteadyClock::now() + LEDGER_LAST_TRIES;
  while (!station.ledger.pending.empty()) {
    SteadyClock::time_point now = SteadyClock::now();
    station.ledger.backing_off = false;
    flush_ledger(station, now);
    if (station.ledger.pending.empty() || now >= last_try) break;
    wait_for_activity(wait_milliseconds(now, std::min(now + milliseconds(1000), last_try)),
                      {});
  }
  std::string closing = render_unrecorded(run.record_path, station.unrecorded);
  for (const LedgerWrite& write : station.ledger.pending) {
    station.ledger_lost.push_back(write.what + ": " + station.ledger.last_error);
  }
  for (const std::string& lost : station.ledger_lost) closing += "not in the ledger: " + lost + "\n";
  if (run.ledger.open) ledger_close();
  SteadyClock::time_point now = SteadyClock::now();
  publish_status(station, now, true);
  status_stop();
  view_end(views(station, now), totals(station, now), closing);
  // Boards burnt that the record or the ledger does not show outrank an interrupt.
  if (station.record_lost || !station.ledger_lost.empty()) return STATION_SOME_FAILED;
  if (station.interrupted) return STATION_INTERRUPTED;
  if (!station.ledger_stop.empty()) return STATION_SOME_FAILED;
  bool all_passed = std::all_of(station.slots.begin(), station.slots.end(),
                                [](const SlotRun& s) { return s.has_result && s.last_passed; });
  return all_passed ? STATION_ALL_PASSED : STATION_SOME_FAILED;
}

}  // namespace xarveld::station
