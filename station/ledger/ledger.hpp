#pragma once
// The ledger: where the serial numbers of a line live, and every attempt beside them. The state
// of a number (reserved -> used | returned | spoiled) is kept by the database's own transactions,
// never in a station's memory, so a station may die at any instant and the next one, on any PC,
// reads the truth. One backend per database, chosen by the location: SQLite for a file (one PC),
// PostgreSQL for a libpq connection string, URL or keyword/value (a line of PCs). A ledger is made
// only when asked for: a station that finds none says where it looked.
//
// Once a shift has opened it, every call is made from the ledger's own thread (ledger_worker.cpp),
// never from the station's loop, and returns within a bounded time: a database that cannot be
// reached is an answer (LedgerStatus::Unreachable), not a wait without end. What the ledger
// cannot take yet waits in the thread's queue (write_queue.cpp), and the report is rendered here
// too (report.cpp): this header is the room's one door.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "station/os/wake.hpp"

namespace xarveld::station {

// Every call says how it went; none may be left unread.
enum class [[nodiscard]] LedgerStatus {
  Ok,
  Exhausted,    // reserve: the pool has no number left
  Unreachable,  // the database could not be reached or lost the connection: try again later
  Refused,      // the database answered no for good (a pool whose range differs, a newer schema,
                // wrong credentials, no such database or file)
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
  std::string reason_code;  // why it failed (PORT_UNAVAILABLE, ...); empty when it passed
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

// The name of a PC's own ledger file (ledger_default_location).
extern const char* const LEDGER_DEFAULT_FILE;  // "station-ledger.sqlite"

// What a location names. PostgreSQL: a URL, "postgresql://" or "postgres://", or a libpq
// keyword/value string ("host=db dbname=ledger user=line"). One that starts "postgres:" or
// "postgresql:" but is no such URL is malformed, never a file. Anything else is a file.
enum class LedgerLocationKind { File, Postgres, MalformedPostgres };
LedgerLocationKind ledger_location_kind(const std::string& location);

// text (a message, or the location itself) with the passwords the location holds put out of
// sight: a URL's user:PASSWORD@ and ?password=, a keyword string's password=.
std::string ledger_redacted(const std::string& text, const std::string& location);

// Whether the location holds a password: on a command line every user of the PC can read it.
bool ledger_location_has_password(const std::string& location);

// The ledger without --ledger: XARVELD_LEDGER when it is set (a file or a PostgreSQL location,
// set once for a PC or a line), else the PC's own file, LEDGER_DEFAULT_FILE in
// machine_data_directory(): one per PC, whatever directory a station is started in, so that two
// directories never hand out one number twice.
std::string ledger_default_location();

// How a ledger is opened.
enum class LedgerAccess {
  Existing,  // a shift: the ledger must be there
  Create,    // makes it: a new file, or the tables in a PostgreSQL database without any; where a
             // ledger (or any file) is there already it is refused, never opened
  ReadOnly,  // a report: nothing is made, migrated or written, and no lease is taken
};

// Opens the ledger at location, migrating an older schema (not ReadOnly). A file on a network
// file system is refused: SQLite's locks do not hold between PCs there. With station.id
// non-empty, takes this station's lease. Returns Ok, or another status with one line in error,
// which never holds the location's password.
LedgerStatus ledger_open(const std::string& location, const LedgerStation& station,
                         LedgerAccess access, std::string& error);
// The same for a ledger that must be there (LedgerAccess::Existing).
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

// Settles the attempt's number (as ledger_settle, for row.attempt_id) and records its row, in one
// transaction: a station killed between the two never leaves a used number without its attempt.
// A settlement that is refused still records the row (Refused, with why).
LedgerStatus ledger_settle_attempt(const std::string& pool, std::uint64_t serial, SerialState to,
                                   const LedgerAttemptRow& row, std::string& error);

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

// Yield and Pareto (yield.cpp, and each backend): why boards fail across a line. A board is one
// serial number where the station numbers boards, else one board of one slot of one station. A
// board belongs to the group of its first attempt (the one that ended first), and counts within
// since_unix_ms when that attempt ended at or after it. Shifts and days are in this PC's local
// time, at its UTC offset of now.
enum class YieldBy { Total, Slot, Station, Shift, Day };
struct YieldRow {
  std::string group;
  std::uint64_t boards = 0, attempts = 0, first_pass = 0, final_pass = 0;
};
struct ParetoRow { std::string reason_code; std::uint64_t attempts = 0; };
// Attempts that ended at or after since_unix_ms (0: all). Rows in group order; YieldBy::Total
// gives one row "total".
LedgerStatus ledger_yield(YieldBy by, std::int64_t since_unix_ms, std::vector<YieldRow>& rows,
                          std::string& error);
// Failed attempts by code, most frequent first (ties by code).
LedgerStatus ledger_pareto(std::int64_t since_unix_ms, std::vector<ParetoRow>& rows,
                           std::string& error);
// The start of the shift holding now_unix_ms (shifts as the station defines them).
std::int64_t shift_start_unix_ms(std::int64_t now_unix_ms);

// Ends the lease (a station that ends cleanly has settled every number) and closes.
void ledger_close();

// The whole line as the ledger has it, for xarveld-line: read only, from one snapshot of the
// database, with no protocol between the stations. Every part is bounded, so a ledger of
// millions of attempts costs a page the same.
struct LineSlotResult {
  std::string slot;
  int board = 0;
  int attempt = 0;
  std::string result;
  std::string reason_code;
  std::int64_t end_unix_ms = 0;
};

struct LineStationRow {
  std::string station_id;
  std::string host;
  std::int64_t started_unix_ms = 0;
  std::int64_t lease_until_unix_ms = 0;
  bool ended = false;
  std::vector<LineSlotResult> slots;  // each slot's last attempt of the shift, by name
};

struct LineFailureRow {
  std::string station_id;
  std::string host;
  std::string slot;
  int board = 0;
  int attempt = 0;
  std::string result;
  std::string reason_code;
  std::int64_t end_unix_ms = 0;
  bool has_serial = false;
  std::uint64_t serial = 0;
  std::string record_json;  // the reason's own words are in it
};

struct LineView {
  // Now, on the clock the leases were written by: the database server's for PostgreSQL, this
  // PC's for a file (its stations are this PC's). A lease is compared with this, never with
  // another PC's clock.
  std::int64_t now_unix_ms = 0;
  std::vector<LineStationRow> stations;  // those whose lease reached into the shift, by host
  std::vector<LineFailureRow> failures;  // the last LINE_FAILURES, newest first
};

constexpr std::size_t LINE_FAILURES = 20;
constexpr std::size_t LINE_STATIONS = 200;  // a line's page never lists more

// The stations of the shift that began at shift_start_unix_ms, their slots' last results in it,
// and the line's last failures.
LedgerStatus ledger_line_view(std::int64_t shift_start_unix_ms, LineView& view,
                              std::string& error);

// How long a lease lasts without renewal, and how often a station renews it.
constexpr std::int64_t LEDGER_LEASE_MS = 30000;
constexpr std::int64_t LEDGER_RENEW_MS = 5000;

// The writes that wait (write_queue.cpp). While the ledger cannot be reached, a station's
// settlings and attempt rows wait in the order made, and the next try waits: 1/4 s after the
// first failure, then twice as long each time up to 1 s, so that boards waiting for numbers start
// within a second or two of the ledger's return; and 1/4 s again once it answers. The tries run
// in the ledger's own thread, so a try that hangs holds up nothing else.

// A write the ledger has yet to take: a number's settling, or an attempt's row.
struct LedgerWrite {
  bool settle = false;
  bool with_row = false;  // a settlement that records its attempt's row too, at once
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
constexpr std::chrono::milliseconds LEDGER_RETRY_FIRST{250};
constexpr std::chrono::milliseconds LEDGER_RETRY_LONGEST{1000};

struct LedgerQueue {
  std::vector<LedgerWrite> pending;  // in the order made
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

// Tries the waiting writes in order, up to the first the ledger cannot take. Writes the ledger
// refuses for good are dropped, and what they were and why added to refused.
void ledger_flush(LedgerQueue& queue, LedgerClock::time_point now, std::vector<std::string>& refused);

// The ledger's own thread (ledger_worker.cpp). Every call to the database is made there, never
// in the station's loop: a database that is slow, frozen or gone holds up no screen, page, record
// or signal. The loop hands it reservations and writes and takes back its answers when the wake
// it watches is raised. The thread renews the lease every LEDGER_RENEW_MS, writes in the order
// given, and while anything waits on a ledger that does not answer, tries again at least once a
// second.

// An answer to a reservation, or a write the ledger refused for good.
struct LedgerAnswer {
  bool reservation = false;  // else a refused write
  std::size_t slot = 0;      // the slot that asked
  LedgerStatus status = LedgerStatus::Ok;  // Ok, Exhausted or Refused: the thread retries the rest
  std::uint64_t serial = 0;
  std::vector<LapsedNumber> lapsed;  // what the reservation spoiled of stations gone
  std::string what;                  // a refused write: what it was
  std::string error;
};

// How the ledger answers now, as the thread last found it.
struct LedgerHealth {
  bool answering = true;
  std::string why;                  // the last error, while it does not answer
  LedgerClock::time_point since;    // the first call it did not answer
  std::vector<std::string> unwritten;  // the writes that wait, each as its LedgerWrite's what
  std::vector<std::uint64_t> unwritten_serials;  // the numbers whose settling waits
  std::size_t unwritten_rows = 0;                // the attempt rows that wait
  std::size_t reservations_waiting = 0;
  bool calling = false;             // a call is under way: a frozen server never ends one early
  LedgerClock::time_point called;   // since when
  bool has_serials_left = false;
  std::uint64_t serials_left = 0;  // in pool, as the last reservation left it
};

// Starts the thread for the open ledger; with pool non-empty it counts the numbers left after
// each reservation. wait is what the loop's wait watches. False with why.
[[nodiscard]] bool ledger_worker_start(const std::string& pool, WakeHandle& wait, std::string& why);
void ledger_worker_reserve(std::size_t slot, const LedgerReservation& reservation);
// No reservation asked for before now is tried any more (one under way still answers).
void ledger_worker_cancel_reservations();
void ledger_worker_write(const LedgerWrite& write);
// The answers since the last call, in order, and the ledger's health now.
std::vector<LedgerAnswer> ledger_worker_take(LedgerHealth& health);
// Tries the writes that wait until deadline, then ends the lease and the thread. A call that
// still hangs then is left to the process's end. The answers not taken yet, and what was never
// written, each as its what and why.
void ledger_worker_finish(LedgerClock::time_point deadline, std::vector<LedgerAnswer>& answers,
                          std::vector<std::string>& unwritten);

// The report (report.cpp): a plain table of the pools' counts, and the uses as CSV (RFC 4180,
// CRLF line ends): a header line, then a line per use.
std::string render_pool_table(const std::vector<PoolReport>& pools);
std::string csv_header();
std::string csv_use_line(const SerialUse& use);
// The yield (yield_report.cpp): groups, then their sum as the total row ("total"); a board is in
// one group only, so the sum is the total. Yields are percentages of boards in the table.
YieldRow yield_sum(const std::vector<YieldRow>& groups);
std::string render_yield_table(const std::vector<YieldRow>& groups, const YieldRow& total);
// "group,boards,attempts,first_pass,final_pass", a line per group, then the total's.
std::string yield_csv(const std::vector<YieldRow>& groups, const YieldRow& total);
// The Pareto: each code's share of the failed attempts, and the running sum, in the table;
// "reason_code,attempts,share" with the share a fraction of four decimals in CSV.
std::string render_pareto_table(const std::vector<ParetoRow>& rows);
std::string pareto_csv(const std::vector<ParetoRow>& rows);
std::string pareto_share(std::uint64_t attempts, std::uint64_t failed);
// One CSV field: quoted, with its quotes doubled, when it holds a comma, a quote, CR or LF, or
// begins or ends with a space.
std::string csv_field(const std::string& text);

}  // namespace xarveld::station
