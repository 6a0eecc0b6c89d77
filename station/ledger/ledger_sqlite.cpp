// The ledger in one SQLite file, shared by the stations of one PC. Every change is one
// transaction, committed and synced before the call returns: a number reserved here is on the disk
// before its board's tool starts, so neither a crash nor a power cut can hand it out twice.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>

#include "station/ledger/ledger_backend.hpp"
#include "station/ledger/ledger_schema.hpp"
#include "station/os/files.hpp"
#include "station/os/host.hpp"
#include "station/os/utc_time.hpp"

namespace xarveld::station {

namespace {

constexpr std::uint64_t SERIAL_MAX = std::numeric_limits<std::int64_t>::max();
// Long enough to outwait another station's transaction (a few statements and one fsync), short
// enough that a stuck file is an answer to the station's loop.
constexpr int BUSY_TIMEOUT_MS = 5000;

sqlite3* db = nullptr;
LedgerStation this_station;
std::string ledger_file;

// A lock held past the busy timeout, or a disk that failed or filled, may pass: try again later.
// Anything else (a constraint, a file that is no database, no permission) is a no for good.
LedgerStatus status_of(int code) {
  if (code == SQLITE_CANTOPEN_SYMLINK || code == SQLITE_CANTOPEN_ISDIR) {
    return LedgerStatus::Refused;
  }
  switch (code & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_IOERR:
    case SQLITE_FULL:
    case SQLITE_CANTOPEN:
    case SQLITE_PROTOCOL: return LedgerStatus::Unreachable;
    default: return LedgerStatus::Refused;
  }
}

LedgerStatus fail(int code, const std::string& what, std::string& error) {
  std::string reason = sqlite3_errstr(code);
  error = "ledger " + ledger_file + ": " + what + ": " + reason;
  std::string detail = db != nullptr ? sqlite3_errmsg(db) : "";
  if (!detail.empty() && detail != reason) error += " (" + detail + ")";
  return status_of(code);
}

// One prepared statement, finalized when it goes out of scope.
struct Statement {
  sqlite3_stmt* stmt = nullptr;
  int code = SQLITE_OK;

  explicit Statement(const char* sql) { code = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr); }
  ~Statement() { sqlite3_finalize(stmt); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  void bind(int index, const std::string& text) {
    if (code == SQLITE_OK) {
      code = sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()),
                               SQLITE_TRANSIENT);
    }
  }
  void bind(int index, std::int64_t number) {
    if (code == SQLITE_OK) code = sqlite3_bind_int64(stmt, index, number);
  }
  void bind_null(int index) {
    if (code == SQLITE_OK) code = sqlite3_bind_null(stmt, index);
  }
  // True while there is a row; after the last, code is SQLITE_OK or the error.
  bool row() {
    if (code != SQLITE_OK && code != SQLITE_ROW) return false;
    code = sqlite3_step(stmt);
    if (code == SQLITE_ROW) return true;
    if (code == SQLITE_DONE) code = SQLITE_OK;
    return false;
  }
  void reset() {
    if (code == SQLITE_OK || code == SQLITE_ROW) code = sqlite3_reset(stmt);
  }
  int run() {
    while (row()) {
    }
    return code;
  }
  std::int64_t integer(int column) { return sqlite3_column_int64(stmt, column); }
  std::string text(int column) {
    const unsigned char* value = sqlite3_column_text(stmt, column);
    return value ? reinterpret_cast<const char*>(value) : "";
  }
};

int execute(const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

// BEGIN IMMEDIATE takes the write lock at once (waiting out other stations up to the busy
// timeout), so two stations never read the same next number, and no read lock is ever upgraded.
int begin() { return execute("BEGIN IMMEDIATE"); }

int commit() { return execute("COMMIT"); }

void rollback() {
  if (db != nullptr && !sqlite3_get_autocommit(db)) execute("ROLLBACK");
}

// Rolls back an open transaction and reports code.
LedgerStatus abandon(int code, const std::string& what, std::string& error) {
  LedgerStatus status = fail(code, what, error);
  rollback();
  return status;
}

LedgerStatus refuse(const std::string& why, std::string& error) {
  rollback();
  error = "ledger " + ledger_file + ": " + why;
  return LedgerStatus::Refused;
}

// The file, made only when asked for: read and write for its owner and group (stations of the
// line's users sharing one directory), read for others, less what the umask takes; never through
// a symbolic link, and never over a file that is there. SQLite gives its -wal and -shm files the
// database's mode.
LedgerStatus create_ledger_file(std::string& error) {
  int fd = open(ledger_file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0664);
  if (fd >= 0) {
    close(fd);
    return LedgerStatus::Ok;
  }
  if (errno == EEXIST) {
    return refuse("a file is there already, and a ledger is made only where none is: start"
                  " without --new-ledger to use it",
                  error);
  }
  return refuse(std::string("cannot make it: ") + std::strerror(errno), error);
}

// Whether the open file is a ledger: a database with the ledger's version table, which a report
// also finds at a version it can read. Only reads: a database of another program stays as it is.
LedgerStatus check_ledger(bool read_only, std::string& error) {
  {
    Statement exists("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'ledger_schema'");
    bool has_table = exists.row();
    if ((exists.code & 0xff) == SQLITE_NOTADB) {
      return refuse("is not a ledger: it is no SQLite database", error);
    }
    if (exists.code != SQLITE_ROW && exists.code != SQLITE_OK) {
      return fail(exists.code, "cannot read it", error);
    }
    if (!has_table) return refuse("is not a ledger: a database without the ledger's tables", error);
  }
  if (!read_only) return LedgerStatus::Ok;  // prepare_schema checks the version, and migrates
  Statement read("SELECT MAX(version) FROM ledger_schema");
  if (!read.row()) return fail(read.code, "cannot read its schema version", error);
  std::int64_t version = read.integer(0);
  if (version > LEDGER_SCHEMA_VERSION) {
    return refuse("its schema is version " + std::to_string(version) + ", newer than this" +
                      " station's " + std::to_string(LEDGER_SCHEMA_VERSION) +
                      ": use a newer station",
                  error);
  }
  // A report writes nothing, so it cannot migrate: the next station's start does.
  if (version < LEDGER_SCHEMA_VERSION) {
    return refuse("its schema is version " + std::to_string(version) + ", older than this" +
                      " station's " + std::to_string(LEDGER_SCHEMA_VERSION) +
                      ": start a station on it once (it migrates the ledger), then report",
                  error);
  }
  return LedgerStatus::Ok;
}

// Within the open's transaction: takes the schema from version up to this station's.
LedgerStatus migrate(std::int64_t version, std::string& error) {
  if (version >= LEDGER_SCHEMA_VERSION) return LedgerStatus::Ok;
  for (std::int64_t from = version; from < LEDGER_SCHEMA_VERSION; ++from) {
    for (const char* statement : LEDGER_MIGRATIONS[static_cast<std::size_t>(from - 1)]) {
      int code = execute(statement);
      if (code != SQLITE_OK) {
        return abandon(code, "cannot migrate its schema from version " + std::to_string(from),
                       error);
      }
    }
  }
  Statement update("UPDATE ledger_schema SET version = ?");
  update.bind(1, static_cast<std::int64_t>(LEDGER_SCHEMA_VERSION));
  if (update.run() != SQLITE_OK) return abandon(update.code, "cannot record its version", error);
  return LedgerStatus::Ok;
}

// Creates the schema in an empty file, or checks the version of the one there and migrates an
// older one. A newer schema is left untouched: not one statement runs against it.
LedgerStatus prepare_schema(std::string& error) {
  int code = begin();
  if (code != SQLITE_OK) return abandon(code, "cannot lock it", error);
  std::int64_t version = 0;
  std::int64_t rows = 0;
  {
    Statement exists("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'ledger_schema'");
    bool has_table = exists.row();
    if (exists.code != SQLITE_ROW && exists.code != SQLITE_OK) {
      return abandon(exists.code, "cannot read its schema", error);
    }
    if (has_table) {
      Statement read("SELECT version FROM ledger_schema");
      while (read.row()) {
        version = read.integer(0);
        ++rows;
      }
      if (read.code != SQLITE_OK) {
        return abandon(read.code, "cannot read its schema version", error);
      }
    }
  }
  if (rows > 1) return refuse("its version table holds more than one row", error);
  if (version > LEDGER_SCHEMA_VERSION) {
    return refuse("its schema is version " + std::to_string(version) +
                      ", newer than this station's " + std::to_string(LEDGER_SCHEMA_VERSION) +
                      ": use a newer station",
                  error);
  }
  if (rows == 0) {
    for (const char* statement : LEDGER_SCHEMA_V1) {
      code = execute(statement);
      if (code != SQLITE_OK) return abandon(code, "cannot create its tables", error);
    }
    Statement insert("INSERT INTO ledger_schema (version) VALUES (1)");
    if (insert.run() != SQLITE_OK) return abandon(insert.code, "cannot record its version", error);
    version = 1;
  }
  LedgerStatus migrated = migrate(version, error);
  if (migrated != LedgerStatus::Ok) return migrated;
  code = commit();
  if (code != SQLITE_OK) return abandon(code, "cannot commit its schema", error);
  return LedgerStatus::Ok;
}

LedgerStatus take_lease(std::string& error) {
  this_station = with_identity(this_station);
  std::int64_t now = now_unix_ms();
  Statement upsert(
      "INSERT INTO stations (station_id, host, pid, started_unix_ms, lease_until_unix_ms, ended,"
      " machine, process_start) VALUES (?, ?, ?, ?, ?, 0, ?, ?) ON CONFLICT (station_id)"
      " DO UPDATE SET host = excluded.host, pid = excluded.pid,"
      " lease_until_unix_ms = excluded.lease_until_unix_ms, ended = 0,"
      " machine = excluded.machine, process_start = excluded.process_start");
  upsert.bind(1, this_station.id);
  upsert.bind(2, this_station.host);
  upsert.bind(3, this_station.pid);
  upsert.bind(4, now);
  upsert.bind(5, now + LEDGER_LEASE_MS);
  upsert.bind(6, this_station.machine);
  upsert.bind(7, this_station.process_start);
  if (upsert.run() != SQLITE_OK) {
    return fail(upsert.code, "cannot take this station's lease", error);
  }
  return LedgerStatus::Ok;
}

void close_file() {
  sqlite3_close_v2(db);
  db = nullptr;
}

// The change of journal needs the file to itself and does not wait for it like a transaction
// does: stations that open a new ledger at once retry it, each until the busy timeout.
LedgerStatus set_wal(std::string& error) {
  std::int64_t deadline = now_unix_ms() + BUSY_TIMEOUT_MS;
  for (;;) {
    Statement wal("PRAGMA journal_mode = WAL");
    std::string mode = wal.row() ? wal.text(0) : "";
    if (mode == "wal") return LedgerStatus::Ok;
    if ((wal.code & 0xff) != SQLITE_BUSY || now_unix_ms() > deadline) {
      if (wal.code != SQLITE_ROW && wal.code != SQLITE_OK) {
        return fail(wal.code, "cannot set its journal to WAL", error);
      }
      error = "ledger " + ledger_file + ": its journal cannot be WAL (" + mode + ")";
      return LedgerStatus::Refused;
    }
    sqlite3_sleep(20);
  }
}

LedgerStatus sqlite_open(const std::string& location, const LedgerStation& station,
                         LedgerAccess access, std::string& error) {
  close_file();
  // Absolute in every message: a ledger the station cannot find is looked for where it says.
  std::error_code ignored;
  std::filesystem::path file = std::filesystem::absolute(location, ignored);
  ledger_file = file.empty() ? location : file.string();
  const bool read_only = access == LedgerAccess::ReadOnly;
  this_station = read_only ? LedgerStation() : station;
  // Another PC's disk: the WAL's shared memory index is not shared between hosts, and each PC
  // judges leases by its own clock, so two PCs could hand out the same next number.
  std::string network;
  if (file_system_is_network(file.parent_path().string(), network)) {
    return refuse("it lies on a network file system (" + network + "), where SQLite's locks do" +
                      " not hold between PCs: a line of PCs shares one PostgreSQL ledger" +
                      " (--ledger postgresql://USER@HOST/DATABASE)",
                  error);
  }
  bool made = false;
  if (access == LedgerAccess::Create) {
    LedgerStatus status = create_ledger_file(error);
    if (status != LedgerStatus::Ok) return status;
    made = true;
  } else {
    struct stat info {};
    if (lstat(ledger_file.c_str(), &info) != 0) {
      error = "no ledger at " + ledger_file +
              ": make it once with --new-ledger, or name the line's ledger with --ledger WHERE"
              " or XARVELD_LEDGER";
      return LedgerStatus::Refused;
    }
  }
  int flags = (read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOFOLLOW;
  int code = sqlite3_open_v2(ledger_file.c_str(), &db, flags, nullptr);
  if (code != SQLITE_OK) {
    LedgerStatus status = fail(db ? sqlite3_extended_errcode(db) : code, "cannot open it", error);
    close_file();
    return status;
  }
  // SQLite falls back to reading a file it may not write; a station needs to write.
  if (!read_only && sqlite3_db_readonly(db, "main") == 1) {
    close_file();
    error = "ledger " + ledger_file + ": this user may not write it (or its directory)";
    return LedgerStatus::Refused;
  }
  sqlite3_busy_timeout(db, BUSY_TIMEOUT_MS);
  sqlite3_extended_result_codes(db, 1);
  LedgerStatus status = made ? LedgerStatus::Ok : check_ledger(read_only, error);
  if (status != LedgerStatus::Ok || read_only) {
    if (status != LedgerStatus::Ok) close_file();
    return status;
  }
  // synchronous=FULL syncs the WAL at every commit: with NORMAL a power cut may undo the last
  // commits, and with them a reservation whose board was already burnt, so its number would be
  // handed out again.
  code = execute("PRAGMA synchronous = FULL");
  if (code == SQLITE_OK) code = execute("PRAGMA foreign_keys = ON");
  status = code == SQLITE_OK ? prepare_schema(error) : fail(code, "cannot set its options", error);
  if (status != LedgerStatus::Ok && made) {
    // Nothing was committed in it: the next --new-ledger may make it again.
    close_file();
    std::filesystem::remove(ledger_file, ignored);
    return status;
  }
  // WAL lets the stations read while one writes. It is set once the file holds the schema: a
  // station that opens a still empty file takes a WAL beside it for a stale one and deletes it,
  // and with it another station's first commit.
  if (status == LedgerStatus::Ok) status = set_wal(error);
  if (status == LedgerStatus::Ok && !this_station.id.empty()) status = take_lease(error);
  if (status != LedgerStatus::Ok) close_file();
  return status;
}

LedgerStatus sqlite_define_pool(const SerialPool& pool, std::string& error) {
  if (pool.name.empty() || pool.first > pool.last || pool.last > SERIAL_MAX) {
    error = "pool \"" + pool.name + "\" needs a name and a range FIRST-LAST up to " +
            std::to_string(SERIAL_MAX);
    return LedgerStatus::Refused;
  }
  Statement insert(
      "INSERT INTO serial_pools (pool, first_serial, last_serial, next_serial) VALUES (?, ?, ?, ?)"
      " ON CONFLICT (pool) DO NOTHING");
  insert.bind(1, pool.name);
  insert.bind(2, static_cast<std::int64_t>(pool.first));
  insert.bind(3, static_cast<std::int64_t>(pool.last));
  insert.bind(4, static_cast<std::int64_t>(pool.first));
  if (insert.run() != SQLITE_OK) return fail(insert.code, "cannot define pool " + pool.name, error);
  Statement read("SELECT first_serial, last_serial FROM serial_pools WHERE pool = ?");
  read.bind(1, pool.name);
  if (!read.row()) return fail(read.code, "cannot read pool " + pool.name, error);
  std::uint64_t first = static_cast<std::uint64_t>(read.integer(0));
  std::uint64_t last = static_cast<std::uint64_t>(read.integer(1));
  if (first != pool.first || last != pool.last) {
    error = "ledger " + ledger_file + ": pool " + pool.name + " is " + std::to_string(first) + "-" +
            std::to_string(last) + " there, not " + std::to_string(pool.first) + "-" +
            std::to_string(pool.last);
    return LedgerStatus::Refused;
  }
  return LedgerStatus::Ok;
}

// Within the reservation's transaction: the pool's numbers that other stations reserved and can
// no longer settle become spoiled, marked as spoiled by this station for a lapse, and are handed
// back in lapsed. Only the reserved rows are read, through their own index.
int spoil_lapsed(const std::string& pool, std::int64_t now, std::vector<LapsedNumber>& lapsed) {
  std::vector<LeaseHolder> gone;
  {
    Statement holders(
        "SELECT DISTINCT s.station_id, t.station_id IS NOT NULL, COALESCE(t.host, ''),"
        " COALESCE(t.machine, ''), COALESCE(t.pid, 0), COALESCE(t.process_start, 0),"
        " COALESCE(t.ended, 0), COALESCE(t.lease_until_unix_ms, 0) < ?"
        " FROM serials s LEFT JOIN stations t ON t.station_id = s.station_id"
        " WHERE s.pool = ? AND s.state = 'reserved' AND s.station_id <> ?");
    holders.bind(1, now);
    holders.bind(2, pool);
    holders.bind(3, this_station.id);
    while (holders.row()) {
      LeaseHolder holder;
      holder.station_id = holders.text(0);
      holder.has_row = holders.integer(1) != 0;
      holder.host = holders.text(2);
      holder.machine = holders.text(3);
      holder.pid = holders.integer(4);
      holder.process_start = holders.integer(5);
      holder.ended = holders.integer(6) != 0;
      holder.lease_run_out = holders.integer(7) != 0;
      if (holder_lapsed(holder, this_station.machine)) gone.push_back(holder);
    }
    if (holders.code != SQLITE_OK) return holders.code;
  }
  for (const LeaseHolder& holder : gone) {
    Statement spoil(
        "UPDATE serials SET state = 'spoiled', spoiled_by = ?, lapse_settled = 0,"
        " changed_unix_ms = ? WHERE pool = ? AND station_id = ? AND state = 'reserved'"
        " RETURNING serial, attempt_id, COALESCE(slot, ''), COALESCE(board, 0)");
    spoil.bind(1, this_station.id);
    spoil.bind(2, now);
    spoil.bind(3, pool);
    spoil.bind(4, holder.station_id);
    while (spoil.row()) {
      lapsed.push_back({pool, static_cast<std::uint64_t>(spoil.integer(0)), spoil.text(1),
                        holder.station_id, holder.host, spoil.text(2),
                        static_cast<int>(spoil.integer(3))});
    }
    if (spoil.code != SQLITE_OK) return spoil.code;
  }
  std::sort(lapsed.begin(), lapsed.end(),
            [](const LapsedNumber& a, const LapsedNumber& b) { return a.serial < b.serial; });
  return SQLITE_OK;
}

// Within the transaction: the number to hand out, or Exhausted. A returned one first, the
// lowest; else the pool's next, skipping any that already has a row (the key would refuse it).
LedgerStatus pick_number(const std::string& pool, std::uint64_t& serial, bool& fresh,
                         std::string& error) {
  Statement returned("SELECT MIN(serial) FROM serials WHERE pool = ? AND state = 'returned'");
  returned.bind(1, pool);
  if (returned.row() && sqlite3_column_type(returned.stmt, 0) != SQLITE_NULL) {
    serial = static_cast<std::uint64_t>(returned.integer(0));
    fresh = false;
    return LedgerStatus::Ok;
  }
  if (returned.code != SQLITE_ROW && returned.code != SQLITE_OK) {
    return abandon(returned.code, "cannot read pool " + pool, error);
  }
  Statement range("SELECT next_serial, last_serial FROM serial_pools WHERE pool = ?");
  range.bind(1, pool);
  if (!range.row()) {
    if (range.code != SQLITE_OK) return abandon(range.code, "cannot read pool " + pool, error);
    return refuse("it has no pool " + pool, error);
  }
  std::uint64_t next = static_cast<std::uint64_t>(range.integer(0));
  std::uint64_t last = static_cast<std::uint64_t>(range.integer(1));
  Statement taken("SELECT 1 FROM serials WHERE pool = ? AND serial = ?");
  while (next <= last) {
    taken.reset();
    taken.bind(1, pool);
    taken.bind(2, static_cast<std::int64_t>(next));
    if (!taken.row()) {
      if (taken.code != SQLITE_OK) return abandon(taken.code, "cannot read pool " + pool, error);
      serial = next;
      fresh = true;
      return LedgerStatus::Ok;
    }
    if (next == last) break;
    ++next;
  }
  return LedgerStatus::Exhausted;
}

LedgerStatus reserve_locked(const LedgerReservation& r, std::int64_t now, std::uint64_t& serial,
                            std::vector<LapsedNumber>& lapsed, std::string& error) {
  const std::string& pool = r.pool;
  int code = spoil_lapsed(pool, now, lapsed);
  if (code != SQLITE_OK) return abandon(code, "cannot spoil lapsed reservations", error);
  // A retry of a reservation that was committed hands out the same number again.
  {
    Statement held(
        "SELECT serial FROM serials WHERE pool = ? AND station_id = ? AND state = 'reserved'"
        " AND attempt_id = ?");
    held.bind(1, pool);
    held.bind(2, this_station.id);
    held.bind(3, r.attempt_id);
    if (held.row()) {
      serial = static_cast<std::uint64_t>(held.integer(0));
      return LedgerStatus::Ok;
    }
    if (held.code != SQLITE_OK) return abandon(held.code, "cannot read pool " + pool, error);
  }
  bool fresh = false;
  LedgerStatus status = pick_number(pool, serial, fresh, error);
  if (status != LedgerStatus::Ok) return status;
  std::int64_t number = static_cast<std::int64_t>(serial);
  Statement take(fresh ? "INSERT INTO serials (state, attempt_id, station_id, changed_unix_ms,"
                         " slot, board, attempt, pool, serial)"
                         " VALUES ('reserved', ?, ?, ?, ?, ?, ?, ?, ?)"
                       : "UPDATE serials SET state = 'reserved', attempt_id = ?, station_id = ?,"
                         " changed_unix_ms = ?, slot = ?, board = ?, attempt = ?,"
                         " spoiled_by = NULL, lapse_settled = 0"
                         " WHERE pool = ? AND serial = ? AND state = 'returned'");
  take.bind(1, r.attempt_id);
  take.bind(2, this_station.id);
  take.bind(3, now);
  take.bind(4, r.slot);
  take.bind(5, static_cast<std::int64_t>(r.board));
  take.bind(6, static_cast<std::int64_t>(r.attempt));
  take.bind(7, pool);
  take.bind(8, number);
  if (take.run() != SQLITE_OK) return abandon(take.code, "cannot reserve in pool " + pool, error);
  if (fresh) {
    // The last number of a pool that ends at the largest one keeps next_serial on it: its row
    // tells that it is taken.
    Statement advance("UPDATE serial_pools SET next_serial = ? WHERE pool = ?");
    advance.bind(1, serial < SERIAL_MAX ? number + 1 : number);
    advance.bind(2, pool);
    if (advance.run() != SQLITE_OK) return abandon(advance.code, "cannot advance pool", error);
  }
  return LedgerStatus::Ok;
}

LedgerStatus sqlite_reserve(const LedgerReservation& reservation, std::uint64_t& serial,
                            std::vector<LapsedNumber>& lapsed, std::string& error) {
  // A number needs a lease that keeps it: without one the next station would spoil it at once.
  if (this_station.id.empty()) return refuse("it was opened without a station to reserve", error);
  std::int64_t now = now_unix_ms();
  int code = begin();
  if (code != SQLITE_OK) return abandon(code, "cannot lock it to reserve", error);
  LedgerStatus status = reserve_locked(reservation, now, serial, lapsed, error);
  // Exhausted commits too: the spoiled reservations stay spoiled, and are said.
  if (status == LedgerStatus::Ok || status == LedgerStatus::Exhausted) {
    code = commit();
    if (code == SQLITE_OK) return status;
    status = abandon(code, "cannot commit the reservation", error);
  }
  rollback();
  lapsed.clear();
  return status;
}

// Inserts the row in the transaction open, if any; one already there is left as it is.
LedgerStatus insert_attempt(const LedgerAttemptRow& row, std::string& error) {
  Statement insert(
      "INSERT INTO attempts (attempt_id, station_id, host, slot, board, attempt, start_unix_ms,"
      " end_unix_ms, result, exit_status, pool, serial, image_sha256, image_sha256_burnt, record,"
      " reason_code) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
      " ON CONFLICT (attempt_id) DO NOTHING");
  insert.bind(1, row.attempt_id);
  insert.bind(2, row.station_id);
  insert.bind(3, row.host);
  insert.bind(4, row.slot);
  insert.bind(5, static_cast<std::int64_t>(row.board));
  insert.bind(6, static_cast<std::int64_t>(row.attempt));
  insert.bind(7, row.start_unix_ms);
  insert.bind(8, row.end_unix_ms);
  insert.bind(9, row.result);
  insert.bind(10, row.exit_status);
  if (row.pool.empty()) {
    insert.bind_null(11);
  } else {
    insert.bind(11, row.pool);
  }
  if (row.has_serial) {
    insert.bind(12, static_cast<std::int64_t>(row.serial));
  } else {
    insert.bind_null(12);
  }
  insert.bind(13, row.image_sha256);
  if (row.image_sha256_burnt.empty()) {
    insert.bind_null(14);
  } else {
    insert.bind(14, row.image_sha256_burnt);
  }
  insert.bind(15, row.record_json);
  if (row.reason_code.empty()) {
    insert.bind_null(16);
  } else {
    insert.bind(16, row.reason_code);
  }
  if (insert.run() != SQLITE_OK) {
    return fail(insert.code, "cannot record attempt " + row.attempt_id, error);
  }
  return LedgerStatus::Ok;
}

LedgerStatus sqlite_settle(const std::string& pool, std::uint64_t serial,
                           const std::string& attempt_id, SerialState to,
                           const LedgerAttemptRow* row, std::string& error) {
  std::string target = serial_state_name(to);
  std::string number = "serial " + std::to_string(serial) + " of pool " + pool;
  if (to == SerialState::Reserved || serial > SERIAL_MAX) {
    error = "ledger " + ledger_file + ": cannot settle " + number + " as " + target;
    return LedgerStatus::Refused;
  }
  int code = begin();
  if (code != SQLITE_OK) return abandon(code, "cannot lock it to settle " + number, error);
  if (row != nullptr) {
    LedgerStatus inserted = insert_attempt(*row, error);
    if (inserted != LedgerStatus::Ok) {
      rollback();
      return inserted;
    }
  }
  std::string state;
  std::string holder;
  bool lapsed = false;  // spoiled because its station lapsed, its attempt not heard since
  {
    Statement read(
        "SELECT state, attempt_id, spoiled_by IS NOT NULL AND lapse_settled = 0 FROM serials"
        " WHERE pool = ? AND serial = ?");
    read.bind(1, pool);
    read.bind(2, static_cast<std::int64_t>(serial));
    if (read.row()) {
      state = read.text(0);
      holder = read.text(1);
      lapsed = state == "spoiled" && read.integer(2) != 0;
    } else if (read.code != SQLITE_OK) {
      return abandon(read.code, "cannot read " + number, error);
    }
  }
  std::string refusal;
  if (holder == attempt_id && state == target && !lapsed) {
    // Settled before: a retry after a lost answer; nothing moves.
  } else if (state.empty()) {
    refusal = number + " was never handed out";
  } else if (holder != attempt_id) {
    refusal = number + " is " + state + " by attempt " + holder + ", not by " + attempt_id;
  } else if (state != "reserved" && !lapsed) {
    refusal = number + " is " + state + " already";
  } else {
    Statement move(
        "UPDATE serials SET state = ?, changed_unix_ms = ?, lapse_settled = ?"
        " WHERE pool = ? AND serial = ?");
    move.bind(1, target);
    move.bind(2, now_unix_ms());
    move.bind(3, static_cast<std::int64_t>(lapsed ? 1 : 0));
    move.bind(4, pool);
    move.bind(5, static_cast<std::int64_t>(serial));
    if (move.run() != SQLITE_OK) return abandon(move.code, "cannot settle " + number, error);
  }
  // A refused settlement still keeps the attempt's row.
  code = commit();
  if (code != SQLITE_OK) return abandon(code, "cannot commit settling " + number, error);
  if (refusal.empty()) return LedgerStatus::Ok;
  error = "ledger " + ledger_file + ": " + refusal;
  return LedgerStatus::Refused;
}

LedgerStatus sqlite_record_attempt(const LedgerAttemptRow& row, std::string& error) {
  return insert_attempt(row, error);
}

LedgerStatus sqlite_renew_lease(std::string& error) {
  if (this_station.id.empty()) return LedgerStatus::Ok;
  Statement renew("UPDATE stations SET lease_until_unix_ms = ? WHERE station_id = ?");
  renew.bind(1, now_unix_ms() + LEDGER_LEASE_MS);
  renew.bind(2, this_station.id);
  if (renew.run() != SQLITE_OK) return fail(renew.code, "cannot renew the lease", error);
  if (sqlite3_changes(db) == 0) return take_lease(error);
  return LedgerStatus::Ok;
}

LedgerStatus sqlite_serials_left(const std::string& pool, std::uint64_t& left,
                                 std::string& error) {
  // The numbers never handed out lie from next_serial on (a row at it: only the largest number
  // kept there once taken), and the returned ones are counted through their own index.
  Statement read(
      "SELECT next_serial, last_serial,"
      " (SELECT COUNT(*) FROM serials WHERE pool = ?1 AND state = 'returned'),"
      " EXISTS (SELECT 1 FROM serials s WHERE s.pool = ?1 AND s.serial = p.next_serial)"
      " FROM serial_pools p WHERE pool = ?1");
  read.bind(1, pool);
  if (!read.row()) {
    if (read.code != SQLITE_OK) return fail(read.code, "cannot read pool " + pool, error);
    return refuse("it has no pool " + pool, error);
  }
  std::int64_t next = read.integer(0);
  std::int64_t last = read.integer(1);
  std::uint64_t fresh = next > last ? 0 : static_cast<std::uint64_t>(last - next) + 1;
  if (fresh > 0 && read.integer(3) != 0) --fresh;
  left = fresh + static_cast<std::uint64_t>(read.integer(2));
  return LedgerStatus::Ok;
}

LedgerStatus sqlite_report(std::vector<PoolReport>& pools, const SerialUseSink* uses,
                           std::string& error) {
  pools.clear();
  // One read transaction: the counts and the list are of the same moment.
  int code = execute("BEGIN");
  if (code != SQLITE_OK) return abandon(code, "cannot read it", error);
  {
    Statement counts(
        "SELECT p.pool, p.first_serial, p.last_serial,"
        " SUM(s.state = 'used'), SUM(s.state = 'spoiled'), SUM(s.state = 'returned'),"
        " SUM(s.state = 'reserved'), COUNT(s.serial), SUM(s.lapse_settled)"
        " FROM serial_pools p LEFT JOIN serials s ON s.pool = p.pool"
        " GROUP BY p.pool ORDER BY p.pool");
    while (counts.row()) {
      PoolReport report;
      report.pool = counts.text(0);
      report.first = static_cast<std::uint64_t>(counts.integer(1));
      report.last = static_cast<std::uint64_t>(counts.integer(2));
      report.used = static_cast<std::uint64_t>(counts.integer(3));
      report.spoiled = static_cast<std::uint64_t>(counts.integer(4));
      report.returned = static_cast<std::uint64_t>(counts.integer(5));
      report.reserved = static_cast<std::uint64_t>(counts.integer(6));
      // Every number handed out has a row; those without one were never handed out.
      std::uint64_t handed_out = static_cast<std::uint64_t>(counts.integer(7));
      report.left = (report.last - report.first + 1) - handed_out + report.returned;
      report.lapse_settled = static_cast<std::uint64_t>(counts.integer(8));
      pools.push_back(report);
    }
    if (counts.code != SQLITE_OK) return abandon(counts.code, "cannot count its numbers", error);
  }
  if (uses != nullptr) {
    // An attempt's row goes with the number it burnt: a number whose reservation was retried after
    // a lost answer, and spoiled by a lapse meanwhile, keeps the attempt's id but not its board.
    Statement list(
        "SELECT s.pool, s.serial, s.state, s.attempt_id, s.station_id,"
        " COALESCE(a.host, t.host, ''), COALESCE(a.slot, s.slot, ''),"
        " COALESCE(a.board, s.board, 0), COALESCE(a.result, '')"
        " FROM serials s LEFT JOIN attempts a ON a.attempt_id = s.attempt_id"
        " AND a.serial = s.serial"
        " LEFT JOIN stations t ON t.station_id = s.station_id ORDER BY s.pool, s.serial");
    SerialUse use;
    bool wanted = true;
    while (wanted && list.row()) {
      use.pool = list.text(0);
      use.serial = static_cast<std::uint64_t>(list.integer(1));
      use.state = list.text(2);
      use.attempt_id = list.text(3);
      use.station_id = list.text(4);
      use.host = list.text(5);
      use.slot = list.text(6);
      use.board = static_cast<int>(list.integer(7));
      use.result = list.text(8);
      wanted = (*uses)(use);
    }
    if (wanted && list.code != SQLITE_OK) {
      return abandon(list.code, "cannot list its numbers", error);
    }
  }
  rollback();
  return LedgerStatus::Ok;
}

// The line's page reads this once a second: one read transaction, so the stations, their slots
// and the failures are of one moment.
LedgerStatus sqlite_line_view(std::int64_t shift_start, LineView& view, std::string& error) {
  int code = execute("BEGIN");
  if (code != SQLITE_OK) return abandon(code, "cannot read it", error);
  // The stations of a file are this PC's, and wrote their leases by its clock.
  view.now_unix_ms = now_unix_ms();
  Statement stations(
      "SELECT station_id, host, started_unix_ms, lease_until_unix_ms, ended FROM stations"
      " WHERE lease_until_unix_ms >= ? ORDER BY host, started_unix_ms, station_id LIMIT ?");
  stations.bind(1, shift_start);
  stations.bind(2, static_cast<std::int64_t>(LINE_STATIONS));
  while (stations.row()) {
    LineStationRow row;
    row.station_id = stations.text(0);
    row.host = stations.text(1);
    row.started_unix_ms = stations.integer(2);
    row.lease_until_unix_ms = stations.integer(3);
    row.ended = stations.integer(4) != 0;
    view.stations.push_back(row);
  }
  if (stations.code != SQLITE_OK) return abandon(stations.code, "cannot read its stations", error);
  Statement slots(
      "SELECT station_id, slot, board, attempt, result, COALESCE(reason_code, ''), end_unix_ms"
      " FROM (SELECT *, ROW_NUMBER() OVER (PARTITION BY station_id, slot"
      " ORDER BY end_unix_ms DESC, attempt_id DESC) AS latest FROM attempts"
      " WHERE end_unix_ms >= ?) WHERE latest = 1 ORDER BY station_id, slot");
  slots.bind(1, shift_start);
  while (slots.row()) {
    std::string station_id = slots.text(0);
    for (LineStationRow& station : view.stations) {
      if (station.station_id != station_id) continue;
      station.slots.push_back({slots.text(1), static_cast<int>(slots.integer(2)),
                               static_cast<int>(slots.integer(3)), slots.text(4), slots.text(5),
                               slots.integer(6)});
    }
  }
  if (slots.code != SQLITE_OK) return abandon(slots.code, "cannot read its slots", error);
  Statement failures(
      "SELECT station_id, host, slot, board, attempt, result, COALESCE(reason_code, ''),"
      " end_unix_ms, serial IS NOT NULL, COALESCE(serial, 0), record FROM attempts"
      " WHERE result <> 'PASS' ORDER BY end_unix_ms DESC, attempt_id DESC LIMIT ?");
  failures.bind(1, static_cast<std::int64_t>(LINE_FAILURES));
  while (failures.row()) {
    LineFailureRow row;
    row.station_id = failures.text(0);
    row.host = failures.text(1);
    row.slot = failures.text(2);
    row.board = static_cast<int>(failures.integer(3));
    row.attempt = static_cast<int>(failures.integer(4));
    row.result = failures.text(5);
    row.reason_code = failures.text(6);
    row.end_unix_ms = failures.integer(7);
    row.has_serial = failures.integer(8) != 0;
    row.serial = static_cast<std::uint64_t>(failures.integer(9));
    row.record_json = failures.text(10);
    view.failures.push_back(row);
  }
  if (failures.code != SQLITE_OK) {
    return abandon(failures.code, "cannot read its failures", error);
  }
  rollback();
  return LedgerStatus::Ok;
}

// The statements share their text with PostgreSQL, whose parameters are $1, $2: here those
// are names, bound through their index.
void bind_dollar(Statement& statement, const char* name, std::int64_t value) {
  if (statement.code == SQLITE_OK)
    statement.bind(sqlite3_bind_parameter_index(statement.stmt, name), value);
}

LedgerStatus sqlite_yield(YieldBy by, std::int64_t since_unix_ms, std::int64_t utc_offset_ms,
                          std::vector<YieldRow>& rows, std::string& error) {
  std::string sql = yield_query(by, since_unix_ms > 0);
  Statement read(sql.c_str());
  bind_dollar(read, "$1", since_unix_ms);
  bind_dollar(read, "$2", utc_offset_ms);
  while (read.row()) {
    rows.push_back({read.text(0), static_cast<std::uint64_t>(read.integer(1)),
                    static_cast<std::uint64_t>(read.integer(2)),
                    static_cast<std::uint64_t>(read.integer(3)),
                    static_cast<std::uint64_t>(read.integer(4))});
  }
  if (read.code != SQLITE_OK) return fail(read.code, "cannot count its yield", error);
  return LedgerStatus::Ok;
}

LedgerStatus sqlite_pareto(std::int64_t since_unix_ms, std::vector<ParetoRow>& rows,
                           std::string& error) {
  Statement read(PARETO_QUERY);
  bind_dollar(read, "$1", since_unix_ms);
  while (read.row()) rows.push_back({read.text(0), static_cast<std::uint64_t>(read.integer(1))});
  if (read.code != SQLITE_OK) return fail(read.code, "cannot count its failures", error);
  return LedgerStatus::Ok;
}

void sqlite_close() {
  if (db == nullptr) return;
  if (!this_station.id.empty()) {
    Statement end("UPDATE stations SET ended = 1, lease_until_unix_ms = ? WHERE station_id = ?");
    end.bind(1, now_unix_ms());
    end.bind(2, this_station.id);
    end.run();
  }
  close_file();
}

}  // namespace

const LedgerBackend SQLITE_LEDGER = {
    sqlite_open,        sqlite_define_pool,  sqlite_reserve, sqlite_settle, sqlite_record_attempt,
    sqlite_renew_lease, sqlite_serials_left, sqlite_report,  sqlite_yield,  sqlite_pareto,
    sqlite_close,       sqlite_line_view};

}  // namespace xarveld::station
