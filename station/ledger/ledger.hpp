#pragma once
// The ledger: where the serial numbers of a line live, and every attempt beside them. The state
// of a number (reserved -> used | returned | spoiled) is kept by the database's own transactions,
// never in a station's memory, so a station may die at any instant and the next one, on any PC,
// reads the truth. One backend per database, chosen by the location: SQLite for a file (one PC),
// PostgreSQL for a "postgresql://" or "postgres://" connection string (a line of PCs).
//
// Every call is made from the station's one loop and returns within a bounded time; a database
// that cannot be reached is an answer (LedgerStatus::Unreachable), not a wait without end.
#include <cstdint>
#include <string>
#include <vector>

namespace xarveld::station {

enum class LedgerStatus {
  Ok,
  Exhausted,    // reserve: the pool has no number left
  Unreachable,  // the database could not be reached or lost the connection: try again later
  Refused,      // the database answered no for good (a pool whose range differs, a newer schema)
};

enum class SerialState { Reserved, Used, Returned, Spoiled };

// A pool: a named range of numbers. The first station that names it fixes its range.
struct SerialPool {
  std::string name;
  std::uint64_t first = 0;
  std::uint64_t last = 0;  // at most INT64_MAX: databases keep signed 64-bit integers
};

// This station, as the ledger knows it while its lease runs.
struct LedgerStation {
  std::string id;    // unique per station run (random)
  std::string host;  // the host name
  std::int64_t pid = 0;
};

// One attempt as a row: the record's main fields as columns, and the whole JSON line.
struct LedgerAttemptRow {
  std::string attempt_id;  // unique; a second insert of the same id is no second row
  std::string station_id;
  std::string host;
  std::string slot;
  int board = 0;
  int attempt = 0;
  std::int64_t start_unix_ms = 0;
  std::int64_t end_unix_ms = 0;
  std::string result;  // PASS, FAIL, TIMEOUT or ABORTED
  std::int64_t exit_status = -1;
  std::string pool;  // empty without serial numbers
  bool has_serial = false;
  std::uint64_t serial = 0;
  std::string image_sha256;        // the base image
  std::string image_sha256_burnt;  // the image as burnt, with its number in place
  std::string record_json;         // the JSON line as written to station-record.jsonl
};

struct PoolReport {
  std::string pool;
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  std::uint64_t used = 0;
  std::uint64_t spoiled = 0;
  std::uint64_t returned = 0;
  std::uint64_t reserved = 0;
  std::uint64_t left = 0;  // never handed out yet, plus returned
};

struct SerialUse {
  std::string pool;
  std::uint64_t serial = 0;
  std::string state;  // "reserved", "used", "returned", "spoiled"
  std::string attempt_id;
  std::string station_id;
  std::string host;
  std::string slot;
  std::string result;  // of the attempt, when its row is there
};

// The SQLite file the station uses without --ledger URL: beside the record.
extern const char* const LEDGER_DEFAULT_FILE;  // "station-ledger.sqlite"

// Whether location is a PostgreSQL connection string ("postgresql://" or "postgres://"), not a
// file.
bool ledger_is_postgres(const std::string& location);

// Opens the ledger at location (a file name, or a PostgreSQL connection string), creating or
// migrating its schema. With station.id non-empty, takes this station's lease. Returns Ok, or
// another status with one line in error.
LedgerStatus ledger_open(const std::string& location, const LedgerStation& station,
                         std::string& error);

// Makes the pool known with its range, or checks that the ledger knows it with this range.
LedgerStatus ledger_define_pool(const SerialPool& pool, std::string& error);

// Spoils the reservations of stations whose lease has lapsed (on this host: whose process is
// gone), then reserves a number for attempt_id and commits that before returning: a returned
// number first, the lowest; else the next never handed out. Exhausted when none is left.
LedgerStatus ledger_reserve(const std::string& pool, const std::string& attempt_id,
                            std::uint64_t& serial, std::string& error);

// Moves a number this station reserved for attempt_id to Used, Returned or Spoiled. Settling
// twice to the same state is Ok (a retry after a lost connection).
LedgerStatus ledger_settle(const std::string& pool, std::uint64_t serial,
                           const std::string& attempt_id, SerialState to, std::string& error);

// Inserts the attempt's row; a row with the same attempt_id already there is Ok, not a second.
LedgerStatus ledger_record_attempt(const LedgerAttemptRow& row, std::string& error);

// Renews this station's lease. Called every few seconds while the station runs.
LedgerStatus ledger_renew_lease(std::string& error);

// The counts per pool, and with uses, every number handed out and the attempt that had it.
LedgerStatus ledger_report(std::vector<PoolReport>& pools, std::vector<SerialUse>* uses,
                           std::string& error);

// Ends the lease (a station that ends cleanly has settled every number) and closes.
void ledger_close();

// How long a lease lasts without renewal, and how often a station renews it.
constexpr std::int64_t LEDGER_LEASE_MS = 30000;
constexpr std::int64_t LEDGER_RENEW_MS = 5000;

}  // namespace xarveld::station
