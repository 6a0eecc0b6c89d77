// The ledger in PostgreSQL, over libpq: one connection per station, every statement with its
// values as parameters. Every call is bounded in time by a deadline of its own, connecting
// included: the socket is polled, never waited on without end, so a server that stopped answering
// (frozen, or its host gone without a word) holds a call no longer than that; and the server
// gives up a statement stuck on a lock by its statement_timeout, before the call's deadline. A
// connection found broken is dropped; the next call connects afresh.
//
// Leases are judged by the database server's clock (clock_timestamp()): the stations' clocks
// differ from PC to PC. They are for stations of other machines: one of this machine is judged
// by whether its process lives, whatever its lease says.
#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "station/ledger/ledger_backend.hpp"
#include "station/ledger/ledger_schema.hpp"
#include "station/os/host.hpp"

namespace xarveld::station {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* CONNECT_TIMEOUT_S = "5";
constexpr std::chrono::milliseconds CONNECT_BUDGET{5000};
constexpr const char* STATEMENT_TIMEOUT_MS = "5000";
// A transaction left open by a station that stopped (not died) would hold its pool's lock.
constexpr const char* IDLE_IN_TRANSACTION_TIMEOUT_MS = "10000";
// A whole call, connecting included. Longer than the statement timeout, so a statement stuck on a
// lock is ended by the server, and the connection kept, before the station gives up on it.
constexpr std::chrono::milliseconds CALL_BUDGET{6000};
// What reads or rewrites the whole ledger (the report, a migration) takes as long as the ledger is
// large: its statements run without the server's statement_timeout, and the station gives up
// only on a server that has not answered one of them for this long.
constexpr std::chrono::milliseconds LONG_STATEMENT_BUDGET{300000};
// The report's uses come from a cursor this many at a time, so a report of any length holds one
// page of them in memory.
constexpr const char* REPORT_PAGE = "FETCH FORWARD 1000 FROM uses";
// The advisory lock that makes creating or migrating the schema one station's job at a time.
constexpr const char* SCHEMA_LOCK_KEY = "7885917364270129664";

// The server's clock in Unix milliseconds.
#define SERVER_NOW_MS "(EXTRACT(EPOCH FROM clock_timestamp()) * 1000)::BIGINT"

PGconn* conn = nullptr;
std::string location;      // the connection string, as given: it may hold a password
std::string server;        // "DB on HOST:PORT", for messages
LedgerStation self;        // this station; an empty id holds no lease and reserves nothing
bool read_only = false;    // opened for a report: every transaction of the session reads only
Clock::time_point deadline;  // of the current call
bool lost_at_once = false;   // the last connection was found broken, not given up on in time

struct Param {
  std::string text;
  bool null = false;
};
Param text(const std::string& value) { return {value, false}; }
Param number(std::int64_t value) { return {std::to_string(value), false}; }
Param none() { return {std::string(), true}; }

// A statement's rows.
struct Rows {
  PGresult* result = nullptr;
  Rows() = default;
  Rows(const Rows&) = delete;
  Rows& operator=(const Rows&) = delete;
  ~Rows() { PQclear(result); }
  void reset(PGresult* next) {
    PQclear(result);
    result = next;
  }
  int count() const { return result ? PQntuples(result) : 0; }
  std::string str(int row, int column) const { return PQgetvalue(result, row, column); }
  std::int64_t num(int row, int column) const {
    return std::strtoll(PQgetvalue(result, row, column), nullptr, 10);
  }
};

std::string first_line(const char* message) {
  std::string line = message ? message : "";
  std::size_t end = line.find('\n');
  if (end != std::string::npos) line.resize(end);
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line.empty() ? "no message" : line;
}

std::string where(PGconn* c) {
  const char* host = PQhost(c);
  const char* port = PQport(c);
  const char* db = PQdb(c);
  return std::string(db && *db ? db : "?") + " on " + (host && *host ? host : "?") + ":" +
         (port && *port ? port : "?");
}

void drop() {
  if (conn != nullptr) PQfinish(conn);
  conn = nullptr;
}

LedgerStatus unreachable(std::string& error, const std::string& why) {
  error = "the PostgreSQL ledger (" + server + ") cannot be reached: " + why;
  return LedgerStatus::Unreachable;
}

LedgerStatus refused(std::string& error, const std::string& why) {
  error = "the PostgreSQL ledger (" + server + ") refused: " + why;
  return LedgerStatus::Refused;
}

// The connection is of no more use: drop it, and the next call connects afresh.
LedgerStatus lost(std::string& error, const std::string& why) {
  lost_at_once = Clock::now() < deadline;
  drop();
  return unreachable(error, why);
}

// Errors worth trying again later: the connection, the server shutting down or overloaded, a
// timeout, a lock or serialization conflict.
bool transient(const std::string& state) {
  static const char* const CODES[] = {"57014", "57P01", "57P02", "57P03", "57P05",
                                      "40001", "40P01", "55P03", "25P03"};
  if (state.rfind("08", 0) == 0 || state.rfind("53", 0) == 0) return true;
  for (const char* code : CODES) {
    if (state == code) return true;
  }
  return false;
}

// Waits until the socket is ready for events, up to until; EINTR (the station's children end) is
// no reason to stop waiting.
bool wait_socket_until(short events, Clock::time_point until) {
  int fd = PQsocket(conn);
  if (fd < 0) return false;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, events, 0};
    int n = poll(&p, 1, static_cast<int>(left.count()));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

// Up to the call's deadline.
bool wait_socket(short events) { return wait_socket_until(events, deadline); }

// Runs one statement, its values as parameters (never pasted into the text).
LedgerStatus run(const char* sql, std::initializer_list<Param> params, Rows& rows,
                 std::string& error) {
  rows.reset(nullptr);
  if (conn == nullptr) return unreachable(error, "not connected");
  std::vector<const char*> values;
  for (const Param& p : params) values.push_back(p.null ? nullptr : p.text.c_str());
  if (!PQsendQueryParams(conn, sql, static_cast<int>(values.size()), nullptr, values.data(),
                         nullptr, nullptr, 0)) {
    return lost(error, first_line(PQerrorMessage(conn)));
  }
  for (;;) {
    int flushed = PQflush(conn);
    if (flushed == 0) break;
    if (flushed < 0) return lost(error, first_line(PQerrorMessage(conn)));
    if (!wait_socket(POLLIN | POLLOUT)) return lost(error, "no answer in time");
    if (!PQconsumeInput(conn)) return lost(error, first_line(PQerrorMessage(conn)));
  }
  for (;;) {
    while (PQisBusy(conn)) {
      if (!wait_socket(POLLIN)) return lost(error, "no answer in time");
      if (!PQconsumeInput(conn)) return lost(error, first_line(PQerrorMessage(conn)));
    }
    PGresult* next = PQgetResult(conn);
    if (next == nullptr) break;
    rows.reset(next);
  }
  ExecStatusType status = rows.result ? PQresultStatus(rows.result) : PGRES_FATAL_ERROR;
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return LedgerStatus::Ok;
  const char* state = rows.result ? PQresultErrorField(rows.result, PG_DIAG_SQLSTATE) : nullptr;
  std::string message = rows.result ? first_line(PQresultErrorMessage(rows.result))
                                    : first_line(PQerrorMessage(conn));
  if (PQstatus(conn) == CONNECTION_BAD || state == nullptr) return lost(error, message);
  if (transient(state)) return unreachable(error, message);
  return refused(error, message);
}

// The SQLSTATE in a message of libpq's verbose form ("FATAL:  28P01: password authentication
// failed ..."), taken out of it; empty when there is none (no server answered).
std::string take_sqlstate(std::string& message) {
  for (std::size_t at = message.find(":  "); at != std::string::npos;
       at = message.find(":  ", at + 1)) {
    std::size_t code = at + 3;
    if (code + 7 > message.size() || message.compare(code + 5, 2, ": ") != 0) continue;
    bool sqlstate = true;
    for (std::size_t i = code; i < code + 5; ++i) {
      sqlstate = sqlstate && ((message[i] >= '0' && message[i] <= '9') ||
                              (message[i] >= 'A' && message[i] <= 'Z'));
    }
    if (!sqlstate) continue;
    std::string state = message.substr(code, 5);
    message.erase(code, 7);
    return state;
  }
  return "";
}

// Why no connection was made, and whether waiting may mend it: a server that is not there, or
// busy, may be there later; wrong credentials or a database that does not exist will not mend.
LedgerStatus not_connected(std::string& error) {
  std::string message = first_line(PQerrorMessage(conn));
  std::string state = take_sqlstate(message);
  bool needs_password = PQconnectionNeedsPassword(conn) != 0;
  drop();
  if (needs_password) {
    return refused(error, "it asks for a password and none was given (~/.pgpass or PGPASSWORD"
                          " holds it): " + message);
  }
  if (state == "28P01" || state == "28000") {
    return refused(error, "wrong user or password: " + message);
  }
  if (state == "3D000") return refused(error, "no such database: " + message);
  if (!state.empty() && !transient(state)) return refused(error, message);
  return unreachable(error, message);
}

// Connects within the call's deadline, and at most CONNECT_BUDGET: asynchronously, so that a
// server that takes the connection and never answers is given up on in time.
LedgerStatus connect(std::string& error) {
  drop();
  // Before the location's own values, which override them; keepalives end a TCP connection to a
  // server that vanished without a word.
  const char* const keys[] = {"connect_timeout",   "keepalives",       "keepalives_idle",
                              "keepalives_interval", "keepalives_count", "tcp_user_timeout",
                              "application_name",  "dbname",           nullptr};
  const char* const values[] = {CONNECT_TIMEOUT_S, "1", "5", "2", "3", "10000", "xarveld-station",
                                location.c_str(), nullptr};
  conn = PQconnectStartParams(keys, values, 1);
  if (conn == nullptr) return unreachable(error, "out of memory");
  server = where(conn);
  if (PQstatus(conn) == CONNECTION_BAD) return not_connected(error);
  // Verbose while connecting: the server's refusal then carries its SQLSTATE.
  PQsetErrorVerbosity(conn, PQERRORS_VERBOSE);
  Clock::time_point connected_by = std::min(deadline, Clock::now() + CONNECT_BUDGET);
  for (PostgresPollingStatusType polling = PGRES_POLLING_WRITING; polling != PGRES_POLLING_OK;) {
    if (polling == PGRES_POLLING_FAILED) return not_connected(error);
    if (!wait_socket_until(polling == PGRES_POLLING_READING ? POLLIN : POLLOUT, connected_by)) {
      drop();
      return unreachable(error, "no answer to connecting in time");
    }
    polling = PQconnectPoll(conn);
  }
  PQsetErrorVerbosity(conn, PQERRORS_DEFAULT);
  if (PQsetnonblocking(conn, 1) != 0) return lost(error, first_line(PQerrorMessage(conn)));
  Rows rows;
  return run("SELECT set_config('statement_timeout', $1, false),"
             " set_config('idle_in_transaction_session_timeout', $2, false),"
             " set_config('default_transaction_read_only', $3, false)",
             {text(STATEMENT_TIMEOUT_MS), text(IDLE_IN_TRANSACTION_TIMEOUT_MS),
              text(read_only ? "on" : "off")},
             rows, error);
}

// Starts the call's deadline, and connects if the connection was dropped.
LedgerStatus begin_call(std::string& error) {
  if (location.empty()) {
    error = "the ledger is not open";
    return LedgerStatus::Refused;
  }
  deadline = Clock::now() + CALL_BUDGET;
  lost_at_once = false;
  if (conn != nullptr && PQstatus(conn) == CONNECTION_BAD) drop();
  return conn == nullptr ? connect(error) : LedgerStatus::Ok;
}

// Runs body within a call. Every operation is safe to repeat (reserve finds its attempt's
// number, settle and the attempt row are idempotent), so a connection that had broken while
// idle (the server restarted) is replaced and the body run once more at once.
//
// A shift's ledger was there when it opened: a server that turns a reconnection away (a password
// changed, the database being restored) is waited out and said, never taken as a no for good to
// the writes that wait, which would then be lost.
template <typename Body>
LedgerStatus call(std::string& error, Body body) {
  bool was_connected = conn != nullptr;
  LedgerStatus status = begin_call(error);
  if (status == LedgerStatus::Refused && conn == nullptr && !location.empty())
    return LedgerStatus::Unreachable;
  if (status != LedgerStatus::Ok) return status;
  status = body();
  if (status == LedgerStatus::Unreachable && was_connected && conn == nullptr && lost_at_once) {
    status = begin_call(error);
    if (status == LedgerStatus::Refused && conn == nullptr) return LedgerStatus::Unreachable;
    if (status == LedgerStatus::Ok) status = body();
  }
  return status;
}

// Runs body in one transaction: committed when it says Ok or Exhausted (the lapsed stations'
// numbers it spoiled stay spoiled), else rolled back. A COMMIT whose answer is lost is
// Unreachable: the caller retries, and the retry finds what was committed.
template <typename Body>
LedgerStatus in_transaction(const char* begin, std::string& error, Body body) {
  Rows rows;
  LedgerStatus status = run(begin, {}, rows, error);
  if (status != LedgerStatus::Ok) return status;
  status = body();
  if (status == LedgerStatus::Ok || status == LedgerStatus::Exhausted) {
    LedgerStatus committed = run("COMMIT", {}, rows, error);
    return committed == LedgerStatus::Ok ? status : committed;
  }
  if (conn != nullptr) {
    std::string ignored;
    if (run("ROLLBACK", {}, rows, ignored) != LedgerStatus::Ok) drop();
  }
  return status;
}

LedgerStatus take_lease(std::string& error) {
  self = with_identity(self);
  Rows rows;
  return run("INSERT INTO stations (station_id, host, pid, started_unix_ms, lease_until_unix_ms,"
             " ended, machine, process_start)"
             " VALUES ($1, $2, $3, " SERVER_NOW_MS ", " SERVER_NOW_MS " + $4, 0, $5, $6)"
             " ON CONFLICT (station_id) DO UPDATE"
             " SET lease_until_unix_ms = EXCLUDED.lease_until_unix_ms",
             {text(self.id), text(self.host), number(self.pid), number(LEDGER_LEASE_MS),
              text(self.machine), number(self.process_start)},
             rows, error);
}

// Statements that may take long, in this transaction only.
LedgerStatus allow_long_statements(std::string& error) {
  Rows rows;
  deadline = Clock::now() + LONG_STATEMENT_BUDGET;
  return run("SELECT set_config('statement_timeout', '0', true),"
             " set_config('idle_in_transaction_session_timeout', '0', true)",
             {}, rows, error);
}

// Within the schema's transaction: takes it from version up to this station's.
LedgerStatus migrate(std::int64_t version, std::string& error) {
  if (version >= LEDGER_SCHEMA_VERSION) return LedgerStatus::Ok;
  LedgerStatus status = allow_long_statements(error);  // indexing a large ledger
  for (std::int64_t from = version; status == LedgerStatus::Ok && from < LEDGER_SCHEMA_VERSION;
       ++from) {
    for (const char* statement : LEDGER_MIGRATIONS[static_cast<std::size_t>(from - 1)]) {
      Rows rows;
      status = run(statement, {}, rows, error);
      if (status != LedgerStatus::Ok) break;
    }
  }
  Rows rows;
  if (status == LedgerStatus::Ok) {
    status = run("UPDATE ledger_schema SET version = $1", {number(LEDGER_SCHEMA_VERSION)}, rows,
                 error);
  }
  deadline = Clock::now() + CALL_BUDGET;
  return status;
}

// Creates the schema in an empty database, or checks its version. The advisory lock makes
// stations that start together against an empty database create it one after the other.
LedgerStatus ensure_schema(std::string& error) {
  return in_transaction("BEGIN", error, [&] {
    Rows rows;
    LedgerStatus status = run("SELECT pg_advisory_xact_lock($1)", {text(SCHEMA_LOCK_KEY)}, rows,
                              error);
    if (status != LedgerStatus::Ok) return status;
    status = run("SELECT to_regclass('ledger_schema') IS NOT NULL", {}, rows, error);
    if (status != LedgerStatus::Ok) return status;
    if (rows.str(0, 0) == "t") {
      status = run("SELECT max(version) FROM ledger_schema", {}, rows, error);
      if (status != LedgerStatus::Ok) return status;
      if (!PQgetisnull(rows.result, 0, 0)) {
        std::int64_t version = rows.num(0, 0);
        if (version > LEDGER_SCHEMA_VERSION) {
          return refused(error, "its schema is version " + std::to_string(version) +
                                    ", newer than this station's " +
                                    std::to_string(LEDGER_SCHEMA_VERSION));
        }
        return migrate(version, error);
      }
    }
    for (const char* statement : LEDGER_SCHEMA_V1) {
      status = run(statement, {}, rows, error);
      if (status != LedgerStatus::Ok) return status;
    }
    status = run("INSERT INTO ledger_schema (version) VALUES (1)", {}, rows, error);
    return status == LedgerStatus::Ok ? migrate(1, error) : status;
  });
}

// Whether the database holds a ledger, or may be given one. A shift and a report want its tables
// (a report at a version it can read); making one wants a database without them, and without
// another program's tables, which the ledger's would mix with.
LedgerStatus check_ledger(LedgerAccess access, std::string& error) {
  Rows rows;
  LedgerStatus status = run(
      "SELECT to_regclass('ledger_schema') IS NOT NULL, (SELECT count(*) FROM pg_catalog.pg_tables"
      " WHERE schemaname NOT IN ('pg_catalog', 'information_schema'))",
      {}, rows, error);
  if (status != LedgerStatus::Ok) return status;
  bool ledger = rows.str(0, 0) == "t";
  if (access == LedgerAccess::Create) {
    if (ledger) {
      return refused(error, "it holds a ledger already: start without --new-ledger to use it");
    }
    if (rows.num(0, 1) > 0) {
      return refused(error, "its database holds other tables: give the ledger one of its own");
    }
    return LedgerStatus::Ok;
  }
  if (!ledger) {
    return refused(error, "it is not a ledger (its database has no ledger tables): make them"
                          " once with --new-ledger");
  }
  if (access != LedgerAccess::ReadOnly) return LedgerStatus::Ok;  // ensure_schema migrates
  status = run("SELECT max(version) FROM ledger_schema", {}, rows, error);
  if (status != LedgerStatus::Ok) return status;
  if (rows.num(0, 0) > LEDGER_SCHEMA_VERSION) {
    return refused(error, "its schema is version " + rows.str(0, 0) + ", newer than this" +
                              " station's " + std::to_string(LEDGER_SCHEMA_VERSION));
  }
  // A report writes nothing, so it cannot migrate: the next station's start does.
  if (rows.num(0, 0) < LEDGER_SCHEMA_VERSION) {
    return refused(error, "its schema is version " + rows.str(0, 0) + ", older than this" +
                              " station's " + std::to_string(LEDGER_SCHEMA_VERSION) +
                              ": start a station on it once (it migrates the ledger), then report");
  }
  return LedgerStatus::Ok;
}

LedgerStatus pg_open(const std::string& where_to, const LedgerStation& station,
                     LedgerAccess access, std::string& error) {
  drop();
  location.clear();
  server.clear();
  // libpq's own reading first: a malformed location is said to be one, not taken for a server
  // that cannot be reached.
  char* why = nullptr;
  PQconninfoOption* options = PQconninfoParse(where_to.c_str(), &why);
  if (options == nullptr) {
    error = "malformed PostgreSQL location " + where_to + ": " +
            (why != nullptr ? first_line(why) : std::string("out of memory"));
    PQfreemem(why);
    return LedgerStatus::Refused;
  }
  PQconninfoFree(options);
  location = where_to;
  read_only = access == LedgerAccess::ReadOnly;
  self = read_only ? LedgerStation() : station;
  LedgerStatus status = begin_call(error);
  if (status == LedgerStatus::Ok) status = check_ledger(access, error);
  if (status == LedgerStatus::Ok && !read_only) status = ensure_schema(error);
  if (status == LedgerStatus::Ok && !self.id.empty()) status = take_lease(error);
  if (status != LedgerStatus::Ok) {
    drop();
    location.clear();
  }
  return status;
}

LedgerStatus pg_define_pool(const SerialPool& pool, std::string& error) {
  constexpr std::uint64_t MAX = std::numeric_limits<std::int64_t>::max();
  if (pool.name.empty() || pool.first > pool.last || pool.last > MAX) {
    error = "serial pool '" + pool.name + "': the range " + std::to_string(pool.first) + "-" +
            std::to_string(pool.last) + " is empty, inverted or past " + std::to_string(MAX);
    return LedgerStatus::Refused;
  }
  return call(error, [&] {
    Rows rows;
    LedgerStatus status = run(
        "INSERT INTO serial_pools (pool, first_serial, last_serial, next_serial)"
        " VALUES ($1, $2, $3, $2) ON CONFLICT (pool) DO NOTHING",
        {text(pool.name), number(static_cast<std::int64_t>(pool.first)),
         number(static_cast<std::int64_t>(pool.last))},
        rows, error);
    if (status != LedgerStatus::Ok) return status;
    status = run("SELECT first_serial, last_serial FROM serial_pools WHERE pool = $1",
                 {text(pool.name)}, rows, error);
    if (status != LedgerStatus::Ok) return status;
    if (rows.count() != 1) return refused(error, "serial pool '" + pool.name + "' is not there");
    std::uint64_t first = static_cast<std::uint64_t>(rows.num(0, 0));
    std::uint64_t last = static_cast<std::uint64_t>(rows.num(0, 1));
    if (first != pool.first || last != pool.last) {
      return refused(error, "serial pool '" + pool.name + "' has the range " +
                                std::to_string(first) + "-" + std::to_string(last) + ", not " +
                                std::to_string(pool.first) + "-" + std::to_string(pool.last));
    }
    return LedgerStatus::Ok;
  });
}

// Within the pool's lock: the pool's reservations of stations that can no longer settle them
// become spoiled, marked as spoiled by this station for a lapse, and are handed back in lapsed.
// Only the reserved rows are read, through their own index; the dead stations' rows are updated
// in one order, so two stations doing this cannot deadlock.
LedgerStatus spoil_lapsed(const std::string& pool, std::vector<LapsedNumber>& lapsed,
                          std::string& error) {
  Rows rows;
  LedgerStatus status = run(
      "SELECT DISTINCT s.station_id, st.station_id IS NOT NULL, COALESCE(st.host, ''),"
      " COALESCE(st.machine, ''), COALESCE(st.pid, 0), COALESCE(st.process_start, 0),"
      " COALESCE(st.ended, 0) <> 0, COALESCE(st.lease_until_unix_ms < " SERVER_NOW_MS ", true)"
      " FROM serials s LEFT JOIN stations st ON st.station_id = s.station_id"
      " WHERE s.pool = $1 AND s.state = 'reserved' AND s.station_id <> $2 ORDER BY 1",
      {text(pool), text(self.id)}, rows, error);
  if (status != LedgerStatus::Ok) return status;
  for (int i = 0; i < rows.count(); ++i) {
    LeaseHolder holder{rows.str(i, 0),      rows.str(i, 1) == "t", rows.str(i, 2),
                       rows.str(i, 3),      rows.num(i, 4),        rows.num(i, 5),
                       rows.str(i, 6) == "t", rows.str(i, 7) == "t"};
    if (!holder_lapsed(holder, self.machine)) continue;
    Rows spoiled;
    status = run("UPDATE serials SET state = 'spoiled', spoiled_by = $3, lapse_settled = 0,"
                 " changed_unix_ms = " SERVER_NOW_MS
                 " WHERE pool = $1 AND station_id = $2 AND state = 'reserved'"
                 " RETURNING serial, attempt_id, COALESCE(slot, ''), COALESCE(board, 0)",
                 {text(pool), text(holder.station_id), text(self.id)}, spoiled, error);
    if (status != LedgerStatus::Ok) return status;
    for (int n = 0; n < spoiled.count(); ++n) {
      lapsed.push_back({pool, static_cast<std::uint64_t>(spoiled.num(n, 0)), spoiled.str(n, 1),
                        holder.station_id, holder.host, spoiled.str(n, 2),
                        static_cast<int>(spoiled.num(n, 3))});
    }
  }
  std::sort(lapsed.begin(), lapsed.end(),
            [](const LapsedNumber& a, const LapsedNumber& b) { return a.serial < b.serial; });
  return LedgerStatus::Ok;
}

LedgerStatus reserve_locked(const LedgerReservation& r, std::uint64_t& serial,
                            std::vector<LapsedNumber>& lapsed, std::string& error) {
  const std::string& pool = r.pool;
  Rows rows;
  LedgerStatus status = run(
      "SELECT last_serial, next_serial FROM serial_pools WHERE pool = $1 FOR UPDATE",
      {text(pool)}, rows, error);
  if (status != LedgerStatus::Ok) return status;
  if (rows.count() != 1) return refused(error, "no serial pool '" + pool + "'");
  std::int64_t last = rows.num(0, 0);
  std::int64_t next = rows.num(0, 1);

  status = spoil_lapsed(pool, lapsed, error);
  if (status == LedgerStatus::Ok) status = take_lease(error);
  if (status != LedgerStatus::Ok) return status;

  // A retry after a lost answer: the attempt keeps the number it was given.
  status = run("SELECT serial FROM serials WHERE pool = $1 AND station_id = $2"
               " AND state = 'reserved' AND attempt_id = $3",
               {text(pool), text(self.id), text(r.attempt_id)}, rows, error);
  if (status != LedgerStatus::Ok) return status;
  if (rows.count() > 0) {
    serial = static_cast<std::uint64_t>(rows.num(0, 0));
    return LedgerStatus::Ok;
  }

  const Param slot = text(r.slot), board = number(r.board), attempt = number(r.attempt);
  status = run("UPDATE serials SET state = 'reserved', attempt_id = $2, station_id = $3,"
               " changed_unix_ms = " SERVER_NOW_MS ", slot = $4, board = $5, attempt = $6,"
               " spoiled_by = NULL, lapse_settled = 0 WHERE pool = $1 AND serial ="
               " (SELECT min(serial) FROM serials WHERE pool = $1 AND state = 'returned')"
               " RETURNING serial",
               {text(pool), text(r.attempt_id), text(self.id), slot, board, attempt}, rows, error);
  if (status != LedgerStatus::Ok) return status;
  if (rows.count() > 0) {
    serial = static_cast<std::uint64_t>(rows.num(0, 0));
    return LedgerStatus::Ok;
  }

  // next_serial passes last_serial when the pool is used up, except at INT64_MAX, where it
  // stays and the number's row says it was handed out.
  constexpr std::int64_t MAX = std::numeric_limits<std::int64_t>::max();
  if (next > last) return LedgerStatus::Exhausted;
  if (next == MAX) {
    status = run("SELECT 1 FROM serials WHERE pool = $1 AND serial = $2",
                 {text(pool), number(next)}, rows, error);
    if (status != LedgerStatus::Ok) return status;
    if (rows.count() > 0) return LedgerStatus::Exhausted;
  }
  status = run("INSERT INTO serials (pool, serial, state, attempt_id, station_id, changed_unix_ms,"
               " slot, board, attempt)"
               " VALUES ($1, $2, 'reserved', $3, $4, " SERVER_NOW_MS ", $5, $6, $7)",
               {text(pool), number(next), text(r.attempt_id), text(self.id), slot, board, attempt},
               rows, error);
  if (status != LedgerStatus::Ok) return status;
  status = run("UPDATE serial_pools SET next_serial = $2 WHERE pool = $1",
               {text(pool), number(next == MAX ? next : next + 1)}, rows, error);
  if (status != LedgerStatus::Ok) return status;
  serial = static_cast<std::uint64_t>(next);
  return LedgerStatus::Ok;
}

LedgerStatus pg_reserve(const LedgerReservation& reservation, std::uint64_t& serial,
                        std::vector<LapsedNumber>& lapsed, std::string& error) {
  if (self.id.empty()) {
    error = "the ledger was opened without a station: it reserves nothing";
    return LedgerStatus::Refused;
  }
  LedgerStatus status = call(error, [&] {
    lapsed.clear();
    return in_transaction("BEGIN", error, [&] {
      return reserve_locked(reservation, serial, lapsed, error);
    });
  });
  if (status != LedgerStatus::Ok && status != LedgerStatus::Exhausted) lapsed.clear();
  return status;
}

// Inserts the row, in the transaction open if any; one already there is left as it is.
LedgerStatus insert_attempt(const LedgerAttemptRow& row, std::string& error) {
  Rows rows;
  return run("INSERT INTO attempts (attempt_id, station_id, host, slot, board, attempt,"
             " start_unix_ms, end_unix_ms, result, exit_status, pool, serial, image_sha256,"
             " image_sha256_burnt, record, reason_code) VALUES"
             " ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, $16)"
             " ON CONFLICT (attempt_id) DO NOTHING",
             {text(row.attempt_id), text(row.station_id), text(row.host), text(row.slot),
              number(row.board), number(row.attempt), number(row.start_unix_ms),
              number(row.end_unix_ms), text(row.result), number(row.exit_status),
              row.pool.empty() ? none() : text(row.pool),
              row.has_serial ? number(static_cast<std::int64_t>(row.serial)) : none(),
              text(row.image_sha256),
              row.image_sha256_burnt.empty() ? none() : text(row.image_sha256_burnt),
              text(row.record_json),
              row.reason_code.empty() ? none() : text(row.reason_code)},
             rows, error);
}

LedgerStatus pg_settle(const std::string& pool, std::uint64_t serial,
                       const std::string& attempt_id, SerialState to,
                       const LedgerAttemptRow* row, std::string& error) {
  if (to == SerialState::Reserved) {
    error = "a number is settled to used, returned or spoiled, not to reserved";
    return LedgerStatus::Refused;
  }
  const std::string state = serial_state_name(to);
  const Param number_param = number(static_cast<std::int64_t>(serial));
  std::string refusal;  // the row is still committed when the settlement is refused
  LedgerStatus status = call(error, [&] {
    refusal.clear();
    return in_transaction("BEGIN", error, [&] {
      if (row != nullptr) {
        LedgerStatus inserted = insert_attempt(*row, error);
        if (inserted != LedgerStatus::Ok) return inserted;
      }
      Rows rows;
      // A number spoiled because its station lapsed is still its attempt's to settle, once.
      LedgerStatus moved = run(
          "UPDATE serials SET state = $4, changed_unix_ms = " SERVER_NOW_MS ","
          " lapse_settled = CASE WHEN state = 'spoiled' THEN 1 ELSE 0 END"
          " WHERE pool = $1 AND serial = $2 AND attempt_id = $3 AND (state = 'reserved'"
          " OR (state = 'spoiled' AND spoiled_by IS NOT NULL AND lapse_settled = 0))"
          " RETURNING serial",
          {text(pool), number_param, text(attempt_id), text(state)}, rows, error);
      if (moved != LedgerStatus::Ok || rows.count() > 0) return moved;
      moved = run("SELECT state, attempt_id FROM serials WHERE pool = $1 AND serial = $2",
                  {text(pool), number_param}, rows, error);
      if (moved != LedgerStatus::Ok) return moved;
      const std::string which = "number " + std::to_string(serial) + " of pool '" + pool + "'";
      if (rows.count() == 0) {
        refusal = which + " was never handed out";
      } else if (rows.str(0, 0) != state || rows.str(0, 1) != attempt_id) {
        // Not the same settlement again (a retry after a lost answer, which is Ok).
        refusal = which + " is " + rows.str(0, 0) + " for attempt " + rows.str(0, 1) +
                  ", not reserved for attempt " + attempt_id;
      }
      return LedgerStatus::Ok;
    });
  });
  if (status != LedgerStatus::Ok || refusal.empty()) return status;
  return refused(error, refusal);
}

LedgerStatus pg_record_attempt(const LedgerAttemptRow& row, std::string& error) {
  return call(error, [&] { return insert_attempt(row, error); });
}

LedgerStatus pg_renew_lease(std::string& error) {
  if (self.id.empty()) return LedgerStatus::Ok;
  return call(error, [&] { return take_lease(error); });
}

LedgerStatus pg_serials_left(const std::string& pool, std::uint64_t& left, std::string& error) {
  // The numbers never handed out lie from next_serial on (a row at it: only the largest number
  // kept there once taken), and the returned ones are counted through their own index.
  return call(error, [&] {
    Rows rows;
    LedgerStatus status = run(
        "SELECT p.next_serial, p.last_serial,"
        " (SELECT count(*) FROM serials WHERE pool = $1 AND state = 'returned'),"
        " EXISTS (SELECT 1 FROM serials s WHERE s.pool = $1 AND s.serial = p.next_serial)"
        " FROM serial_pools p WHERE p.pool = $1",
        {text(pool)}, rows, error);
    if (status != LedgerStatus::Ok) return status;
    if (rows.count() != 1) return refused(error, "no serial pool '" + pool + "'");
    std::int64_t next = rows.num(0, 0);
    std::int64_t last = rows.num(0, 1);
    std::uint64_t fresh = next > last ? 0 : static_cast<std::uint64_t>(last - next) + 1;
    if (fresh > 0 && rows.str(0, 3) == "t") --fresh;
    left = fresh + static_cast<std::uint64_t>(rows.num(0, 2));
    return LedgerStatus::Ok;
  });
}

LedgerStatus read_report(std::vector<PoolReport>& pools, const SerialUseSink* uses,
                         std::string& error) {
  LedgerStatus status = allow_long_statements(error);
  if (status != LedgerStatus::Ok) return status;
  Rows rows;
  status = run(
      "SELECT p.pool, p.first_serial, p.last_serial, count(s.serial),"
      " count(*) FILTER (WHERE s.state = 'used'), count(*) FILTER (WHERE s.state = 'spoiled'),"
      " count(*) FILTER (WHERE s.state = 'returned'),"
      " count(*) FILTER (WHERE s.state = 'reserved'),"
      " count(*) FILTER (WHERE s.lapse_settled = 1)"
      " FROM serial_pools p LEFT JOIN serials s ON s.pool = p.pool"
      " GROUP BY p.pool, p.first_serial, p.last_serial ORDER BY p.pool",
      {}, rows, error);
  if (status != LedgerStatus::Ok) return status;
  pools.clear();
  for (int i = 0; i < rows.count(); ++i) {
    PoolReport report;
    report.pool = rows.str(i, 0);
    report.first = static_cast<std::uint64_t>(rows.num(i, 1));
    report.last = static_cast<std::uint64_t>(rows.num(i, 2));
    std::uint64_t handed_out = static_cast<std::uint64_t>(rows.num(i, 3));
    report.used = static_cast<std::uint64_t>(rows.num(i, 4));
    report.spoiled = static_cast<std::uint64_t>(rows.num(i, 5));
    report.returned = static_cast<std::uint64_t>(rows.num(i, 6));
    report.reserved = static_cast<std::uint64_t>(rows.num(i, 7));
    report.left = report.last - report.first + 1 - handed_out + report.returned;
    report.lapse_settled = static_cast<std::uint64_t>(rows.num(i, 8));
    pools.push_back(report);
  }
  if (uses == nullptr) return LedgerStatus::Ok;
  // An attempt's row goes with the number it burnt: a number whose reservation was retried after
  // a lost answer, and spoiled by a lapse meanwhile, keeps the attempt's id but not its board.
  status = run("DECLARE uses NO SCROLL CURSOR FOR"
               " SELECT s.pool, s.serial, s.state, s.attempt_id, s.station_id,"
               " COALESCE(a.host, st.host, ''), COALESCE(a.slot, s.slot, ''),"
               " COALESCE(a.board, s.board, 0), COALESCE(a.result, '')"
               " FROM serials s LEFT JOIN attempts a ON a.attempt_id = s.attempt_id"
               " AND a.serial = s.serial LEFT JOIN stations st ON st.station_id = s.station_id"
               " ORDER BY s.pool, s.serial",
               {}, rows, error);
  SerialUse use;
  while (status == LedgerStatus::Ok) {
    deadline = Clock::now() + LONG_STATEMENT_BUDGET;
    status = run(REPORT_PAGE, {}, rows, error);
    if (status != LedgerStatus::Ok || rows.count() == 0) break;
    for (int i = 0; i < rows.count(); ++i) {
      use.pool = rows.str(i, 0);
      use.serial = static_cast<std::uint64_t>(rows.num(i, 1));
      use.state = rows.str(i, 2);
      use.attempt_id = rows.str(i, 3);
      use.station_id = rows.str(i, 4);
      use.host = rows.str(i, 5);
      use.slot = rows.str(i, 6);
      use.board = static_cast<int>(rows.num(i, 7));
      use.result = rows.str(i, 8);
      if (!(*uses)(use)) return LedgerStatus::Ok;
    }
  }
  return status;
}

LedgerStatus pg_report(std::vector<PoolReport>& pools, const SerialUseSink* uses,
                       std::string& error) {
  // One snapshot, so the list agrees with the counts. Not tried again over a new connection as
  // the station's calls are: the uses already handed on would come twice.
  LedgerStatus status = begin_call(error);
  if (status != LedgerStatus::Ok) return status;
  return in_transaction("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", error,
                        [&] { return read_report(pools, uses, error); });
}

// The line's page reads this once a second, in one read-only snapshot: the stations, their
// slots and the failures are of one moment, and leases are judged by the server's clock.
LedgerStatus read_line_view(std::int64_t shift_start, LineView& view, std::string& error) {
  Rows rows;
  LedgerStatus status =
      run("SELECT " SERVER_NOW_MS ", station_id, host, started_unix_ms, lease_until_unix_ms,"
          " ended FROM (SELECT 1) AS now LEFT JOIN (SELECT * FROM stations"
          " WHERE lease_until_unix_ms >= $1 ORDER BY host, started_unix_ms, station_id"
          " LIMIT $2) AS s ON true",
          {number(shift_start), number(static_cast<std::int64_t>(LINE_STATIONS))}, rows, error);
  if (status != LedgerStatus::Ok) return status;
  for (int i = 0; i < rows.count(); ++i) {
    view.now_unix_ms = rows.num(i, 0);
    if (PQgetisnull(rows.result, i, 1)) continue;  // no station: the clock alone
    LineStationRow row;
    row.station_id = rows.str(i, 1);
    row.host = rows.str(i, 2);
    row.started_unix_ms = rows.num(i, 3);
    row.lease_until_unix_ms = rows.num(i, 4);
    row.ended = rows.num(i, 5) != 0;
    view.stations.push_back(row);
  }
  status = run("SELECT station_id, slot, board, attempt, result, COALESCE(reason_code, ''),"
               " end_unix_ms FROM (SELECT *, ROW_NUMBER() OVER (PARTITION BY station_id, slot"
               " ORDER BY end_unix_ms DESC, attempt_id DESC) AS latest FROM attempts"
               " WHERE end_unix_ms >= $1) AS a WHERE latest = 1 ORDER BY station_id, slot",
               {number(shift_start)}, rows, error);
  if (status != LedgerStatus::Ok) return status;
  for (int i = 0; i < rows.count(); ++i) {
    for (LineStationRow& station : view.stations) {
      if (station.station_id != rows.str(i, 0)) continue;
      station.slots.push_back({rows.str(i, 1), static_cast<int>(rows.num(i, 2)),
                               static_cast<int>(rows.num(i, 3)), rows.str(i, 4), rows.str(i, 5),
                               rows.num(i, 6)});
    }
  }
  status = run("SELECT station_id, host, slot, board, attempt, result, COALESCE(reason_code, ''),"
               " end_unix_ms, serial IS NOT NULL, COALESCE(serial, 0), record FROM attempts"
               " WHERE result <> 'PASS' ORDER BY end_unix_ms DESC, attempt_id DESC LIMIT $1",
               {number(static_cast<std::int64_t>(LINE_FAILURES))}, rows, error);
  if (status != LedgerStatus::Ok) return status;
  for (int i = 0; i < rows.count(); ++i) {
    LineFailureRow row;
    row.station_id = rows.str(i, 0);
    row.host = rows.str(i, 1);
    row.slot = rows.str(i, 2);
    row.board = static_cast<int>(rows.num(i, 3));
    row.attempt = static_cast<int>(rows.num(i, 4));
    row.result = rows.str(i, 5);
    row.reason_code = rows.str(i, 6);
    row.end_unix_ms = rows.num(i, 7);
    row.has_serial = rows.str(i, 8) == "t";
    row.serial = static_cast<std::uint64_t>(rows.num(i, 9));
    row.record_json = rows.str(i, 10);
    view.failures.push_back(row);
  }
  return LedgerStatus::Ok;
}

LedgerStatus pg_line_view(std::int64_t shift_start, LineView& view, std::string& error) {
  return call(error, [&] {
    view = LineView();
    return in_transaction("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", error,
                          [&] { return read_line_view(shift_start, view, error); });
  });
}

// A report's statements read the whole ledger: one read-only snapshot, without the shift's
// statement timeout.
template <typename Body>
LedgerStatus read_snapshot(std::string& error, Body body) {
  LedgerStatus status = begin_call(error);
  if (status != LedgerStatus::Ok) return status;
  return in_transaction("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", error, [&] {
    LedgerStatus allowed = allow_long_statements(error);
    return allowed == LedgerStatus::Ok ? body() : allowed;
  });
}

LedgerStatus pg_yield(YieldBy by, std::int64_t since_unix_ms, std::int64_t utc_offset_ms,
                      std::vector<YieldRow>& rows, std::string& error) {
  return read_snapshot(error, [&] {
    Rows read;
    std::string sql = yield_query(by, since_unix_ms > 0);
    // A window's few boards are each found in their index; priced as seeks on a disk, those
    // lose to reading the whole table in parallel, which takes the line's page a second. The
    // pages a window reads are the recent ones, in memory: priced as such, in this transaction.
    LedgerStatus status = since_unix_ms > 0
                              ? run("SELECT set_config('random_page_cost', '1.1', true)", {},
                                    read, error)
                              : LedgerStatus::Ok;
    if (status == LedgerStatus::Ok)
      status = run(sql.c_str(), {number(since_unix_ms), number(utc_offset_ms)}, read, error);
    for (int i = 0; status == LedgerStatus::Ok && i < read.count(); ++i) {
      rows.push_back({read.str(i, 0), static_cast<std::uint64_t>(read.num(i, 1)),
                      static_cast<std::uint64_t>(read.num(i, 2)),
                      static_cast<std::uint64_t>(read.num(i, 3)),
                      static_cast<std::uint64_t>(read.num(i, 4))});
    }
    return status;
  });
}

LedgerStatus pg_pareto(std::int64_t since_unix_ms, std::vector<ParetoRow>& rows,
                       std::string& error) {
  return read_snapshot(error, [&] {
    Rows read;
    LedgerStatus status = run(PARETO_QUERY, {number(since_unix_ms)}, read, error);
    for (int i = 0; status == LedgerStatus::Ok && i < read.count(); ++i)
      rows.push_back({read.str(i, 0), static_cast<std::uint64_t>(read.num(i, 1))});
    return status;
  });
}

void pg_close() {
  if (conn != nullptr && !self.id.empty() && PQstatus(conn) == CONNECTION_OK) {
    deadline = Clock::now() + CALL_BUDGET;
    Rows rows;
    std::string ignored;
    // A ledger that is not told lets the lease lapse on its own, LEDGER_LEASE_MS later.
    [[maybe_unused]] LedgerStatus told =
        run("UPDATE stations SET ended = 1, lease_until_unix_ms = " SERVER_NOW_MS
            " WHERE station_id = $1",
            {text(self.id)}, rows, ignored);
  }
  drop();
  location.clear();
  self = LedgerStation();
}

#undef SERVER_NOW_MS

const LedgerBackend TABLE = {pg_open,         pg_define_pool, pg_reserve, pg_settle,
                             pg_record_attempt, pg_renew_lease, pg_serials_left, pg_report,
                             pg_yield,        pg_pareto,      pg_close,
                             pg_line_view};

}  // namespace

const LedgerBackend* const POSTGRES_LEDGER = &TABLE;

}  // namespace xarveld::station
