#pragma once
// A ledger backend: the ledger's operations for one database, as a table of functions. ledger.cpp
// picks the backend by the location and hands every call to it.
#include "station/ledger/ledger.hpp"

namespace xarveld::station {

struct LedgerBackend {
  LedgerStatus (*open)(const std::string& location, const LedgerStation& station,
                       LedgerAccess access, std::string& error);
  LedgerStatus (*define_pool)(const SerialPool& pool, std::string& error);
  LedgerStatus (*reserve)(const LedgerReservation& reservation, std::uint64_t& serial,
                          std::vector<LapsedNumber>& lapsed, std::string& error);
  // With a row, the row is recorded in the same transaction (see ledger_settle_attempt).
  LedgerStatus (*settle)(const std::string& pool, std::uint64_t serial,
                         const std::string& attempt_id, SerialState to,
                         const LedgerAttemptRow* row, std::string& error);
  LedgerStatus (*record_attempt)(const LedgerAttemptRow& row, std::string& error);
  LedgerStatus (*renew_lease)(std::string& error);
  LedgerStatus (*serials_left)(const std::string& pool, std::uint64_t& left, std::string& error);
  LedgerStatus (*report)(std::vector<PoolReport>& pools, const SerialUseSink* uses,
                         std::string& error);
  // yield_query(by, since > 0) and PARETO_QUERY with since ($1) and the UTC offset ($2): the
  // groups raw, in no order (yield.cpp labels and orders them).
  LedgerStatus (*yield)(YieldBy by, std::int64_t since_unix_ms, std::int64_t utc_offset_ms,
                        std::vector<YieldRow>& rows, std::string& error);
  LedgerStatus (*pareto)(std::int64_t since_unix_ms, std::vector<ParetoRow>& rows,
                         std::string& error);
  void (*close)();
  LedgerStatus (*line_view)(std::int64_t shift_start_unix_ms, LineView& view, std::string& error);
};

// The statements of the yield and the Pareto, the same text for both databases (yield.cpp);
// a windowed yield reads only the boards with an attempt in the window.
std::string yield_query(YieldBy by, bool windowed);
extern const char* const PARETO_QUERY;

// ledger_yield and ledger_pareto through a backend (yield.cpp).
LedgerStatus yield_rows(YieldBy by, std::int64_t since_unix_ms, const LedgerBackend& backend,
                        std::vector<YieldRow>& rows, std::string& error);
LedgerStatus pareto_rows(std::int64_t since_unix_ms, const LedgerBackend& backend,
                         std::vector<ParetoRow>& rows, std::string& error);

extern const LedgerBackend SQLITE_LEDGER;
// Only where libpq was found at build time; the station says so for a PostgreSQL location.
extern const LedgerBackend* const POSTGRES_LEDGER;  // nullptr without libpq

// The same judgement on both backends (lapse.cpp).

// A station that holds reserved numbers, as its row in the stations table has it.
struct LeaseHolder {
  std::string station_id;
  bool has_row = false;  // a reservation without a station row has no lease at all
  std::string host;
  std::string machine;
  std::int64_t pid = 0;
  std::int64_t process_start = 0;
  bool ended = false;
  bool lease_run_out = false;  // by the database's clock
};

// Whether the holder can no longer settle its numbers, judged from a station on this_machine:
// it ended; or it is of this machine and its process is gone; or it is of another machine (or
// of one that could not be told) and its lease has run out. A lease that ran out on this
// machine means nothing while the process lives: it may be stopped, or its ledger out of reach.
bool holder_lapsed(const LeaseHolder& holder, const std::string& this_machine);

// The station with its machine and process start filled in where they were left empty.
LedgerStation with_identity(const LedgerStation& station);

}  // namespace xarveld::station
