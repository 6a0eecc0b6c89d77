#pragma once
// TEMPORARY: the reservation's new shape, until the backends take it.
#include <cstdint>
#include <string>
#include <vector>

namespace xarveld::station {
struct LedgerReservation {
  std::string pool;
  std::string attempt_id;
  std::string slot;
  int board = 0;
  int attempt = 0;
};
struct LapsedNumber {
  std::string pool;
  std::uint64_t serial = 0;
  std::string attempt_id;
  std::string station_id;
  std::string host;
  std::string slot;
  int board = 0;
};
LedgerStatus ledger_reserve(const LedgerReservation& reservation, std::uint64_t& serial,
                            std::vector<LapsedNumber>& lapsed, std::string& error);
LedgerStatus ledger_serials_left(const std::string& pool, std::uint64_t& left, std::string& error);
}  // namespace xarveld::station
