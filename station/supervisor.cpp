#include "station/supervisor.hpp"

#include <algorithm>

#include "station/ledger_steps.hpp"
#include "station/os/child_process.hpp"
#include "station/os/interrupt.hpp"
#include "station/os/operator_input.hpp"
#include "station/os/record_file.hpp"
#include "station/os/terminal.hpp"
#include "station/os/utc_time.hpp"
#include "station/station_state.hpp"
#include "station/status_steps.hpp"
#include "station/view.hpp"
#include "station/web/status.hpp"

namespace xarveld::station {

namespace {
using std::chrono::milliseconds;

constexpr milliseconds KILL_GRACE{3000};
constexpr milliseconds PORT_CHECK{250};
constexpr milliseconds CLOCK_TICK{1000};

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

// False when the attempt could not be started and has ended at once.
bool start_attempt(Station& station, SlotRun& slot, SteadyClock::time_point now) {
  slot.queued = false;
  slot.running = true;
  slot.terminated = slot.timed_out = slot.killed = slot.leftovers_seen = false;
  if (slot.attempt_number == 1) {
    slot.result.clear();
    slot.message.clear();
    slot.reason.clear();
  }
  // --loop: the port as this board had it. Taken now, not when the attempt has ended: a board
  // swapped before the station has looked again is still seen as the next one.
  slot.port_seen = station.options->loop ? port_presence(slot.setup.slot.port) : "";
  bool started = attempt_start(*station.run, slot.setup.slot, slot.stamp, slot.attempt);
  slot.serial = slot.stamp.has_serial ? std::to_string(slot.stamp.serial) : "";
  slot.stamp = AttemptStamp{};
  if (station.options->timeout_seconds > 0) {
    slot.deadline = now + std::chrono::seconds(station.options->timeout_seconds);
  }
  view_event(plain_start_line(iso_utc(now_unix_ms()), slot_status(station, slot, now),
                              slot.attempt.directory));
  publish_start(slot);
  station.dirty = true;
  return started;
}

// The boards that run go on to their end and are recorded if the record takes them; the
// operator sees why no other starts until the station ends, and which attempts are missing.
void note_record_lost(Station& station, const AttemptRecord& record, const std::string& reason) {
  Unrecorded missing{record.slot, record.board, record.attempt, record.result};
  station.unrecorded.push_back(missing);
  const std::string& path = station.run->record_path;
  stop_new_boards(station, Stop::RecordLost,
                  render_record_loss(path, reason, station.unrecorded.size()));
  view_event(plain_unrecorded_line(iso_utc(record.end_unix_ms), path, reason, missing));
}

void finish_attempt(Station& station, SlotRun& slot, SteadyClock::time_point now) {
  RunEnd end;
  end.exit_status = slot.attempt.exit_status;
  end.timed_out = slot.timed_out;
  end.interrupted = stopped_by(station, Stop::Interrupted);
  Result result = attempt_result(slot.attempt, end);
  AttemptRecord record = attempt_finish(*station.run, slot.setup.slot, slot.board,
                                        slot.attempt_number, result, slot.attempt);
  if (station.ledger_plan->open) ledger_take_attempt(station, slot, result, record);
  std::string error;
  bool recorded = record_append(station.run->record_path, record_json_line(record), error);
  slot.running = false;
  slot.seconds = seconds_since(slot.attempt.started, now);
  slot.result = record.result;
  const std::string numbered = record.has_serial ? record.tool_command.back() : "";
  // The record keeps the tool's last line as it was; the rows and the page show its words, cleaned
  // and cut, without a phase's progress marks (an 8 MiB burn cut short is 8 KiB of them).
  bool tool_words = slot.attempt.failure.empty() && !slot.attempt.backing_up;
  std::string words = tool_words ? progress_message(slot.attempt.progress) : record.last_line;
  slot.message = shown_text(shown_message(*station.run, words, numbered));
  slot.reason = shown_text(shown_message(*station.run, record.reason, numbered));
  view_event(plain_result_line(iso_utc(record.end_unix_ms), slot_status(station, slot, now)));
  publish_result(slot, record, recorded, error);
  count_attempt(station.metrics.slots[static_cast<std::size_t>(&slot - station.slots.data())],
                result == Result::Pass, record.reason_code, slot.seconds);
  if (!recorded) note_record_lost(station, record, error);
  bool retry = boards_may_start(station) && result == Result::Fail &&
               attempt_never_wrote(slot.attempt, result) &&
               slot.attempt_number <= station.options->retries;
  if (retry) {
    ++slot.attempt_number;
    slot.queued = true;
  } else {
    slot.has_result = true;
    slot.last_passed = result == Result::Pass;
    (slot.last_passed ? slot.passed : slot.failed) += 1;
  }
  station.dirty = true;
}

void interrupt_all(Station& station, SteadyClock::time_point now) {
  stop_new_boards(station, Stop::Interrupted);
  station.stop_deadline = now + KILL_GRACE;
  for (SlotRun& slot : station.slots) {
    if (slot.running && slot.attempt.child >= 0) {
      child_signal(slot.attempt.child, station_interrupt_for_child());
    }
  }
  operator_input_stop();
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
    if (stopped_by(station, Stop::Interrupted)) kill_at = std::min(kill_at, station.stop_deadline);
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
}  // namespace

int supervise(const StationOptions& options, const RunPlan& run, const LedgerPlan& ledger,
              const std::vector<SlotSetup>& setups, bool terminal, bool colour) {
  Station station;
  station.options = &options;
  station.run = &run;
  station.ledger_plan = &ledger;
  station.started = SteadyClock::now();
  for (const SlotSetup& setup : setups) {
    SlotRun slot;
    slot.setup = setup;
    queue_board(slot);
    station.slots.push_back(slot);
    station.metrics.slots.push_back(slot_metrics(setup.slot.name));
  }
  view_begin(terminal, colour);
  station.serials_left = ledger.serials_left;
  if (options.loop) operator_input_start();
  std::size_t jobs = options.jobs > 0 ? static_cast<std::size_t>(options.jobs) : setups.size();

  for (;;) {
    SteadyClock::time_point now = SteadyClock::now();
    if (!stopped_by(station, Stop::Interrupted) && station_interrupt_signal() != 0)
      interrupt_all(station, now);
    take_ledger_answers(station, now);

    for (SlotRun& slot : station.slots) {
      if (!slot.running) continue;
      // Burning starts only where the board is still to be burnt by this attempt.
      bool may_burn = !stopped_by(station, Stop::Interrupted) && !slot.terminated;
      if (attempt_poll(run, may_burn, slot.attempt)) {
        finish_attempt(station, slot, now);
        station.status_published = {};
      } else {
        // A backup's end starts the tool: its own end, and what it leaves, are still to come.
        if (!slot.attempt.ended) slot.leftovers_seen = false;
        station.dirty = station.dirty || terminal;
        publish_progress(station, slot, now);
      }
    }
    if (options.loop && boards_may_start(station)) serve_next_boards(station);
    auto running = static_cast<std::size_t>(std::count_if(
        station.slots.begin(), station.slots.end(), [](const SlotRun& s) { return s.running; }));
    // A slot whose start failed has already ended: no wait before it is taken in.
    bool ended_at_once = false;
    std::size_t busy = running;  // with the slots waiting for their numbers
    for (SlotRun& slot : station.slots) {
      if (busy >= jobs) break;
      if (!slot.queued || !slot_may_start(station, slot)) continue;
      ++busy;
      if (!stamp_ready(station, slot)) continue;
      if (!start_attempt(station, slot, now)) ended_at_once = true;
      ++running;
    }
    bool queued = std::any_of(station.slots.begin(), station.slots.end(),
                              [](const SlotRun& s) { return s.queued; });
    if (running == 0 && !queued && (!options.loop || !boards_may_start(station))) break;

    SteadyClock::time_point wake = enforce_deadlines(station, now);
    if (options.loop && boards_may_start(station)) wake = std::min(wake, now + PORT_CHECK);
    if (terminal && running > 0) wake = std::min(wake, now + CLOCK_TICK);
    // While the ledger does not answer, the line that says how long is redrawn every second; a
    // call under way is looked at every second, so that one that hangs is said.
    if (station.waiting_for_ledger || station.ledger_calling) wake = std::min(wake, now + CLOCK_TICK);
    // What the station's own output has not taken yet goes on without waiting for it; the wait
    // below wakes when it can take more.
    terminal_flush(0);
    publish_status(station, now, false);
    if (station.dirty) {
      int due = view_refresh(station_snapshot(station, now), false);
      if (due >= 0) {
        wake = std::min(wake, now + milliseconds(due));
      } else if (due != VIEW_WAITS_FOR_OUTPUT) {
        station.dirty = false;
      }
    }
    if (ended_at_once) continue;
    wait_for_activity(wait_milliseconds(now, wake),
                      {station_interrupt_wake(), operator_input_wake(), ledger.wake},
                      terminal_wake());
  }
  operator_input_stop();
  if (ledger.open) ledger_finish(station);
  std::string closing = render_unrecorded(run.record_path, station.unrecorded);
  for (const std::string& lost : station.ledger_lost) closing += "not in the ledger: " + lost + "\n";
  SteadyClock::time_point now = SteadyClock::now();
  publish_status(station, now, true);
  status_stop();
  view_end(station_snapshot(station, now), closing);
  // Boards burnt that the record or the ledger does not show outrank an interrupt.
  if (stopped_by(station, Stop::RecordLost) || !station.ledger_lost.empty())
    return STATION_SOME_FAILED;
  if (stopped_by(station, Stop::Interrupted)) return STATION_INTERRUPTED;
  if (stopped_by(station, Stop::Ledger)) return STATION_SOME_FAILED;
  bool all_passed = std::all_of(station.slots.begin(), station.slots.end(),
                                [](const SlotRun& s) { return s.has_result && s.last_passed; });
  return all_passed ? STATION_ALL_PASSED : STATION_SOME_FAILED;
}

}  // namespace xarveld::station
