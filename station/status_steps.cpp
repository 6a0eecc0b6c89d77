#include "station/status_steps.hpp"

#include <algorithm>
#include <chrono>
#include <vector>

#include "station/os/utc_time.hpp"
#include "station/web/status.hpp"

namespace xarveld::station {

namespace {
using std::chrono::milliseconds;

constexpr milliseconds STATUS_PROGRESS_EVERY{100};  // the page's progress: 10 times a second
constexpr milliseconds STATUS_SNAPSHOT_EVERY{500};

StatusEvent status_event_of(StatusEventKind kind, const SlotRun& slot) {
  StatusEvent event;
  event.kind = kind;
  event.unix_ms = now_unix_ms();
  event.slot = slot.setup.slot.name;
  event.board = slot.board;
  event.attempt = slot.attempt_number;
  event.directory = slot.attempt.directory;
  event.serial = slot.serial;
  return event;
}
}  // namespace

void publish_status(Station& station, SteadyClock::time_point now, bool force) {
  if (!status_serving()) return;
  if (!force && now - station.status_published < STATUS_SNAPSHOT_EVERY) return;
  station.status_published = now;
  status_publish(station_snapshot(station, now));
  StationMetrics& metrics = station.metrics;
  metrics.boards_in_progress = static_cast<std::uint64_t>(std::count_if(
      station.slots.begin(), station.slots.end(), [](const SlotRun& s) { return s.running; }));
  metrics.serials_left = station.serials_left;
  if (station.serials_left) metrics.pool = station.ledger_plan->pool;
  metrics.ledger_writes_pending = station.ledger_writes_pending;
  status_publish_metrics(metrics);
}

void publish_progress(const Station& station, SlotRun& slot, SteadyClock::time_point now) {
  if (!status_serving()) return;
  const Progress& progress = slot.attempt.progress;
  std::uint64_t driver = 0, image = 0;
  image_sizes(*station.run, driver, image);
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

void publish_start(SlotRun& slot) {
  slot.status_phase = Phase::Connecting;
  slot.status_bytes = 0;
  StatusEvent event = status_event_of(StatusEventKind::Start, slot);
  event.unix_ms = slot.attempt.start_unix_ms;
  status_event(event);
}

void publish_result(const SlotRun& slot, const AttemptRecord& record, bool recorded,
                    const std::string& error) {
  StatusEvent event = status_event_of(StatusEventKind::Result, slot);
  event.unix_ms = record.end_unix_ms;
  event.result = record.result;
  event.exit_status = record.exit_status;
  event.seconds = static_cast<double>(record.end_unix_ms - record.start_unix_ms) / 1000.0;
  event.message = slot.message;
  event.reason = slot.reason;
  status_event(event);
  event = status_event_of(StatusEventKind::Record, slot);
  event.written = recorded;
  event.error = error;
  status_event(event);
}

}  // namespace xarveld::station
