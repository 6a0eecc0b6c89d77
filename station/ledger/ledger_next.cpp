#include "station/ledger/ledger.hpp"

namespace xarveld::station {
LedgerStatus ledger_reserve(const LedgerReservation& reservation, std::uint64_t& serial,
                            std::vector<LapsedNumber>& lapsed, std::string& error) {
  lapsed.clear();
  return ledger_reserve(reservation.pool, reservation.attempt_id, serial, error);
}
LedgerStatus ledger_serials_left(const std::string& pool, std::uint64_t& left, std::string& error) {
  std::vector<PoolReport> pools;
  LedgerStatus status = ledger_report(pools, nullptr, error);
  for (const PoolReport& p : pools) if (p.pool == pool) left = p.left;
  return status;
}
}  // namespace xarveld::station
