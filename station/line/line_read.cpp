#include "station/line/line_read.hpp"

namespace xarveld::station {

std::int64_t line_fingerprint(const LineView& view) {
  std::int64_t sum = 0;
  for (const LineStationRow& station : view.stations) {
    for (const LineSlotResult& slot : station.slots) sum += slot.end_unix_ms % 1000003 + 1;
  }
  return sum;
}

LedgerStatus line_read_view(std::int64_t now_unix_ms, LineReading& reading, std::string& error) {
  reading.shift_start_unix_ms = shift_start_unix_ms(now_unix_ms);
  LedgerStatus status = ledger_line_view(reading.shift_start_unix_ms, reading.view, error);
  if (status == LedgerStatus::Ok) {
    status = ledger_pareto(reading.shift_start_unix_ms, reading.pareto, error);
  }
  reading.fingerprint = line_fingerprint(reading.view);
  return status;
}

bool line_yield_due(const LineReading& last, const LineReading& reading,
                    std::int64_t now_unix_ms) {
  return last.yield_read_unix_ms == 0 ||
         last.shift_start_unix_ms != reading.shift_start_unix_ms ||
         last.fingerprint != reading.fingerprint ||
         now_unix_ms - last.yield_read_unix_ms >= LINE_YIELD_MAX_AGE_MS;
}

LedgerStatus line_read_yield(std::int64_t now_unix_ms, LineReading& reading, std::string& error) {
  // The hosts' rows add up to the line's, so the total is not read apart.
  LedgerStatus status =
      ledger_yield(YieldBy::Station, reading.shift_start_unix_ms, reading.hosts, error);
  reading.yield_read_unix_ms = now_unix_ms;
  return status;
}

}  // namespace xarveld::station
