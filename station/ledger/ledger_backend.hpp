#pragma once
// A ledger backend: the ledger's operations for one database, as a table of functions. ledger.cpp
// picks the backend by the location and hands every call to it.
#include "station/ledger/ledger.hpp"

namespace xarveld::station {

struct LedgerBackend {
  LedgerStatus (*open)(const std::string& location, const LedgerStation& station,
                       LedgerAccess access, std::string& error);
  LedgerStatus (*define_pool)(const SerialPool& pool, std::string& error);
  LedgerStatus (*reserve)(const std::string& pool, const std::string& attempt_id,
                          std::uint64_t& serial, std::string& error);
  LedgerStatus (*settle)(const std::string& pool, std::uint64_t serial,
                         const std::string& attempt_id, SerialState to, std::string& error);
  LedgerStatus (*record_attempt)(const LedgerAttemptRow& row, std::string& error);
  LedgerStatus (*renew_lease)(std::string& error);
  LedgerStatus (*report)(std::vector<PoolReport>& pools, std::vector<SerialUse>* uses,
                         std::string& error);
  void (*close)();
};

extern const LedgerBackend SQLITE_LEDGER;
// Only where libpq was found at build time; the station says so for a PostgreSQL location.
extern const LedgerBackend* const POSTGRES_LEDGER;  // nullptr without libpq

}  // namespace xarveld::station
