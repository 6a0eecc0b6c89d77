#include "station/ledger/ledger.hpp"

#include "station/ledger/ledger_backend.hpp"

namespace xarveld::station {

const char* const LEDGER_DEFAULT_FILE = "station-ledger.sqlite";

namespace {
const LedgerBackend* backend = nullptr;  // the open ledger's

LedgerStatus not_open(std::string& error) {
  error = "the ledger is not open";
  return LedgerStatus::Refused;
}
}  // namespace

bool ledger_is_postgres(const std::string& location) {
  return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}

LedgerStatus ledger_open(const std::string& location, const LedgerStation& station,
                         std::string& error) {
  ledger_close();
  const LedgerBackend* chosen = &SQLITE_LEDGER;
  if (ledger_is_postgres(location)) {
    if (POSTGRES_LEDGER == nullptr) {
      error = "this station was built without PostgreSQL: " + location;
      return LedgerStatus::Refused;
    }
    chosen = POSTGRES_LEDGER;
  }
  LedgerStatus status = chosen->open(location, station, error);
  if (status == LedgerStatus::Ok) backend = chosen;
  return status;
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
  return backend ? backend->settle(pool, serial, attempt_id, to, error) : not_open(error);
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

void ledger_close() {
  if (backend != nullptr) backend->close();
  backend = nullptr;
}

}  // namespace xarveld::station
