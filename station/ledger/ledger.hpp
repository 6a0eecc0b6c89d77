#pragma once
// The ledger: where the serial numbers of a line live, and every attempt beside them. The state
// of a number (reserved -> used | returned | spoiled) is kept by the database's own transactions,
// never in a station's memory, so a station may die at any instant and the next one, on any PC,
// reads the truth. One backend per database, chosen by the location: SQLite for a file (one PC),
// PostgreSQL for a "postgresql://" or "postgres://" connection string (a line of PCs).
//
// Every call is made from the station's one loop and returns within a bounded time; a database
// that cannot be reached is an answer (LedgerStatus::Unreachable), not a wait without end. What
// the ledger cannot take yet waits in a queue of the station's (write_queue.cpp), and the report
// is rendered here too (report.cpp): this header is the room's one door.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace xarveld::station {

// Every call says how it went; none may be left unread.
enum class [[nodiscard]] LedgerStatus {
  Ok,
  Exhausted,    // reserve: the pool has no number left
  Unreachable,  // the database could not be reached or lost the connection: try again later
  Refused,      // the database answered no for good (a pool whose range differs, a newer schema)
};

enum class SerialState { Reserved, Used, Returned, Spoiled };

// "reserved", "used", "returned" or "spoiled", as the serials table and the report name it.
const char* serial_state_name(SerialState state);

// A pool: a named range of numbers. The first station that names it fixes its range.
struct SerialPool {
  std::string name;
  std::uint64_t first = 0;
  std::uint64_t last = 0;  // at most INT64_MAX: databases keep signed 64-bit integers
};

// This station, as the ledger knows it while its lease runs. A station of the same machine is
// judged by whether its process lives; one of another machine by its lease, on the database's
// clock.
struct LedgerStation {
  std::string id;    // unique per station run (random)
  std::string host;  // the host name, for people: it decides nothing
  std::int64_t pid = 0;
  std::string machine{};          // machine_identity(); the backend fills it when empty
  std::int64_t process_start = 0;  // process_start_time(pid); the backend fills it when 0
};

// What a number is reserved for: the attempt, and where its board is, kept beside the number so
// that the report tells it even when the attempt's row never comes.
struct LedgerReservation {
  std::string pool;
  std::string attempt_id;
  std::string slot;
  int board = 0;
  int attempt = 0;
};

// A number whose station has lapsed, spoiled in this reservation's transaction.
struct LapsedNumber {
  std::string pool;
  std::uint64_t serial = 0;
  std::string attempt_id;
  std::string station_id;
  std::string host;
  std::string slot;
  int board = 0;
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
  // Spoiled when their station lapsed, then settled by their own attempt after all.
  std::uint64_t lapse_settled = 0;
};

struct SerialUse {
  std::string pool;
  std::uint64_t serial = 0;
  std::string state;  // "reserved", "used", "returned", "spoiled"
  std::string attempt_id;
  std::string station_id;
  std::string host;
  std::string slot;  // the attempt row's, else the reservation's
  int board = 0;     // likewise; 0 when neither tells
  std::string result;  // of the attempt, when its row is there
};

// Takes the report's numbers one by one; false stops the report (a write failed).
using SerialUseSink = std::function<bool(const SerialUse&)>;

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

// Spoils the pool's reservations of stations that have lapsed (ended; on this machine, whose
// process is gone; on another, whose lease has run out), handing them back in lapsed, then
// reserves a number for the attempt and commits that before returning: a returned number first,
// the lowest; else the next never handed out. Exhausted when none is left (lapsed still holds
// what was spoiled); lapsed is empty with any status but Ok and Exhausted.
LedgerStatus ledger_reserve(const LedgerReservation& reservation, std::uint64_t& serial,
                            std::vector<LapsedNumber>& lapsed, std::string& error);

// Moves a number reserved for attempt_id to Used, Returned or Spoiled; also one spoiled because
// its station lapsed, when this is the attempt it was reserved for: the attempt's word is the
// truth, and a spoiled number was never handed out again. Settling twice to the same state is Ok
// (a retry after a lost connection).
LedgerStatus ledger_settle(const std::string& pool, std::uint64_t serial,
                           const std::string& attempt_id, SerialState to, std::string& error);

// Inserts the attempt's row; a row with the same attempt_id already there is Ok, not a second.
LedgerStatus ledger_record_attempt(const LedgerAttemptRow& row, std::string& error);

// Renews this station's lease. Called every few seconds while the station runs.
LedgerStatus ledger_renew_lease(std::string& error);

// How many numbers the pool has left to hand out (PoolReport::left), without counting the
// numbers it handed out.
LedgerStatus ledger_serials_left(const std::string& pool, std::uint64_t& left, std::string& error);

// The counts per pool, and with uses, every number handed out and the attempt that had it, in
// order of pool and number, one at a time (never all at once in memory). A sink that says stop
// ends it, Ok.
LedgerStatus ledger_report(std::vector<PoolReport>& pools, const SerialUseSink* uses,
                           std::string& error);

// Ends the lease (a station that ends cleanly has settled every number) and closes.
void ledger_close();

// How long a lease lasts without renewal, and how often a station renews it.
constexpr std::int64_t LEDGER_LEASE_MS = 30000;
constexpr std::int64_t LEDGER_RENEW_MS = 5000;

// The writes that wait (write_queue.cpp). While the ledger cannot be reached, a station's
// settlings and attempt rows wait in the order made, and the next try waits: 1 s after the
// first failure, then twice as long each time up to 30 s, and 1 s again once the ledger answers.

// A write the ledger has yet to take: a number's settling, or an attempt's row.
struct LedgerWrite {
  bool settle = false;
  std::string pool;
  std::uint64_t serial = 0;
  SerialState to = SerialState::Spoiled;
  LedgerAttemptRow row;
  std::string what;  // for the operator: "a board 3 attempt 1 row"
};

// Hands a write to the open ledger: ledger_settle or ledger_record_attempt.
LedgerStatus ledger_put(const LedgerWrite& write, std::string& error);
using LedgerPut = LedgerStatus (*)(const LedgerWrite& write, std::string& error);

using LedgerClock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds LEDGER_RETRY_FIRST{1000};
constexpr std::chrono::milliseconds LEDGER_RETRY_LONGEST{30000};

struct LedgerQueue {
  std::vector<LedgerWrite> pending;  // in the order made: a number is settled before its row
  bool backing_off = false;
  LedgerClock::time_point retry_at;
  std::chrono::milliseconds delay = LEDGER_RETRY_FIRST;
  std::string last_error;
  LedgerPut put = ledger_put;  // what takes the writes; a test gives its own
};

// The ledger could not be reached: the next try waits.
void ledger_back_off(LedgerQueue& queue, LedgerClock::time_point now, const std::string& error);
// It answered: the next wait starts short again.
void ledger_reached(LedgerQueue& queue);
// Whether a call may be made now (no wait under way).
bool ledger_may_try(const LedgerQueue& queue, LedgerClock::time_point now);

// Writes write now, or queues it behind the writes that wait. Ok when it went in; Unreachable
// when it waits in the queue; any other status when the ledger refused it for good. Why in error.
LedgerStatus ledger_write(LedgerQueue& queue, const LedgerWrite& write, LedgerClock::time_point now,
                          std::string& error);

// Tries the waiting writes in order, up to the first the ledger cannot take. Writes the ledger
// refuses for good are dropped, and what they were and why added to refused.
void ledger_flush(LedgerQueue& queue, LedgerClock::time_point now, std::vector<std::string>& refused);

// The report (report.cpp): a plain table of the pools' counts, and the uses as CSV (RFC 4180,
// CRLF line ends): a header line, then a line per use.
std::string render_pool_table(const std::vector<PoolReport>& pools);
std::string csv_header();
std::string csv_use_line(const SerialUse& use);
// One CSV field: quoted, with its quotes doubled, when it holds a comma, a quote, CR or LF, or
// begins or ends with a space.
std::string csv_field(const std::string& text);

}  // namespace xarveld::station
