#include "station/ledger/ledger.hpp"

#include "station/ledger/ledger_backend.hpp"

namespace xarveld::station {

namespace {
const LedgerBackend* backend = nullptr;  // the open ledger's

LedgerStatus not_open(std::string& error) {
  error = "the ledger is not open";
  return LedgerStatus::Refused;
}

const LedgerBackend* backend_for(const std::string& location, std::string& error) {
  switch (ledger_location_kind(location)) {
    case LedgerLocationKind::File: return &SQLITE_LEDGER;
    case LedgerLocationKind::MalformedPostgres:
      error = "malformed PostgreSQL URL " + location +
              ": it is postgresql://USER@HOST/DATABASE (two slashes), or host=... dbname=...";
      return nullptr;
    case LedgerLocationKind::Postgres:
      if (POSTGRES_LEDGER == nullptr) {
        error = "this station was built without PostgreSQL: " + location;
      }
      return POSTGRES_LEDGER;
  }
  return nullptr;
}
}  // namespace

LedgerStatus ledger_open(const std::string& location, const LedgerStation& station,
                         LedgerAccess access, std::string& error) {
  ledger_close();
  const LedgerBackend* chosen = backend_for(location, error);
  LedgerStatus status =
      chosen != nullptr ? chosen->open(location, station, access, error) : LedgerStatus::Refused;
  if (status == LedgerStatus::Ok) backend = chosen;
  // Whatever a message quotes of the location, its password stays out of sight.
  error = ledger_redacted(error, location);
  return status;
}

LedgerStatus ledger_open(const std::string& location, const LedgerStation& station,
                         std::string& error) {
  return ledger_open(location, station, LedgerAccess::Existing, error);
}

LedgerStatus ledger_define_pool(const SerialPool& pool, std::string& error) {
  return backend ? backend->define_pool(pool, error) : not_open(error);
}

LedgerStatus ledger_reserve(const LedgerReservation& reservation, std::uint64_t& serial,
                            std::vector<LapsedNumber>& lapsed, std::string& error) {
  lapsed.clear();
  return backend ? backend->reserve(reservation, serial, lapsed, error) : not_open(error);
}

LedgerStatus ledger_settle(const std::string& pool, std::uint64_t serial,
                           const std::string& attempt_id, SerialState to, std::string& error) {
  return backend ? backend->settle(pool, serial, attempt_id, to, nullptr, error) : not_open(error);
}

LedgerStatus ledger_settle_attempt(const std::string& pool, std::uint64_t serial, SerialState to,
                                   const LedgerAttemptRow& row, std::string& error) {
  return backend ? backend->settle(pool, serial, row.attempt_id, to, &row, error)
                 : not_open(error);
}

LedgerStatus ledger_record_attempt(const LedgerAttemptRow& row, std::string& error) {
  return backend ? backend->record_attempt(row, error) : not_open(error);
}

LedgerStatus ledger_renew_lease(std::string& error) {
  return backend ? backend->renew_lease(error) : not_open(error);
}

LedgerStatus ledger_serials_left(const std::string& pool, std::uint64_t& left,
                                 std::string& error) {
  return backend ? backend->serials_left(pool, left, error) : not_open(error);
}

LedgerStatus ledger_report(std::vector<PoolReport>& pools, const SerialUseSink* uses,
                           std::string& error) {
  return backend ? backend->report(pools, uses, error) : not_open(error);
}

LedgerStatus ledger_line_view(std::int64_t shift_start_unix_ms, LineView& view,
                              std::string& error) {
  view = LineView();
  return backend ? backend->line_view(shift_start_unix_ms, view, error) : not_open(error);
}

LedgerStatus ledger_yield(YieldBy by, std::int64_t since_unix_ms, std::vector<YieldRow>& rows,
                          std::string& error) {
  rows.clear();
  return backend ? yield_rows(by, since_unix_ms, *backend, rows, error) : not_open(error);
}

LedgerStatus ledger_pareto(std::int64_t since_unix_ms, std::vector<ParetoRow>& rows,
                           std::string& error) {
  rows.clear();
  return backend ? pareto_rows(since_unix_ms, *backend, rows, error) : not_open(error);
}

void ledger_close() {
  if (backend != nullptr) backend->close();
  backend = nullptr;
}

}  // namespace xarveld::station
