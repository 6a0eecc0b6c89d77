#include "station/station_state.hpp"

#include <chrono>

namespace xarveld::station {

namespace {
using std::chrono::milliseconds;
}  // namespace

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

int wait_milliseconds(SteadyClock::time_point now, SteadyClock::time_point until) {
  if (until == SteadyClock::time_point::max()) return -1;
  if (until <= now) return 0;
  // Rounded up, so that the wait never ends just short of the deadline and spins.
  return static_cast<int>(std::chrono::ceil<milliseconds>(until - now).count());
}

}  // namespace xarveld::station
