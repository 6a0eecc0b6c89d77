#include "station/ledger/ledger_schema.hpp"

namespace xarveld::station {

// Numbers are BIGINT: both databases keep signed 64-bit integers, so a pool ends at INT64_MAX.
// The key on (pool, serial) is what keeps a number from being given twice, whatever the
// stations do; the key on attempt_id keeps a retried insert from making a second row.
const std::vector<const char*> LEDGER_SCHEMA_V1 = {
    "CREATE TABLE IF NOT EXISTS ledger_schema (version INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS serial_pools ("
    " pool TEXT PRIMARY KEY,"
    " first_serial BIGINT NOT NULL,"
    " last_serial BIGINT NOT NULL,"
    " next_serial BIGINT NOT NULL,"
    " CHECK (first_serial <= last_serial))",
    "CREATE TABLE IF NOT EXISTS serials ("
    " pool TEXT NOT NULL REFERENCES serial_pools (pool),"
    " serial BIGINT NOT NULL,"
    " state TEXT NOT NULL CHECK (state IN ('reserved', 'used', 'returned', 'spoiled')),"
    " attempt_id TEXT NOT NULL,"
    " station_id TEXT NOT NULL,"
    " changed_unix_ms BIGINT NOT NULL,"
    " PRIMARY KEY (pool, serial))",
    "CREATE INDEX IF NOT EXISTS serials_by_state ON serials (pool, state, serial)",
    "CREATE TABLE IF NOT EXISTS stations ("
    " station_id TEXT PRIMARY KEY,"
    " host TEXT NOT NULL,"
    " pid BIGINT NOT NULL,"
    " started_unix_ms BIGINT NOT NULL,"
    " lease_until_unix_ms BIGINT NOT NULL,"
    " ended INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS attempts ("
    " attempt_id TEXT PRIMARY KEY,"
    " station_id TEXT NOT NULL,"
    " host TEXT NOT NULL,"
    " slot TEXT NOT NULL,"
    " board INTEGER NOT NULL,"
    " attempt INTEGER NOT NULL,"
    " start_unix_ms BIGINT NOT NULL,"
    " end_unix_ms BIGINT NOT NULL,"
    " result TEXT NOT NULL,"
    " exit_status BIGINT NOT NULL,"
    " pool TEXT,"
    " serial BIGINT,"
    " image_sha256 TEXT NOT NULL,"
    " image_sha256_burnt TEXT,"
    " record TEXT NOT NULL)",
    "CREATE INDEX IF NOT EXISTS attempts_by_serial ON attempts (pool, serial)",
};

// Version 2: a lapsed station's numbers are no longer lost, and no call's cost grows with the
// ledger. A number keeps where its board was from its reservation on, and whether it was spoiled
// because its station lapsed (spoiled_by: the station that spoiled it) and then settled by its
// own attempt after all. A station keeps what tells its process from any other. The hot queries
// read only the reserved rows (by station) and the returned ones (the lowest, and how many), so
// each gets a partial index, small beside the table; the index of every row by state is dropped.
// Columns are added without IF NOT EXISTS, which SQLite lacks: the version says they are not
// there yet.
const std::vector<std::vector<const char*>> LEDGER_MIGRATIONS = {
    {
        "ALTER TABLE serials ADD COLUMN slot TEXT",
        "ALTER TABLE serials ADD COLUMN board INTEGER",
        "ALTER TABLE serials ADD COLUMN attempt INTEGER",
        "ALTER TABLE serials ADD COLUMN spoiled_by TEXT",
        "ALTER TABLE serials ADD COLUMN lapse_settled INTEGER NOT NULL DEFAULT 0",
        "ALTER TABLE stations ADD COLUMN machine TEXT NOT NULL DEFAULT ''",
        "ALTER TABLE stations ADD COLUMN process_start BIGINT NOT NULL DEFAULT 0",
        "DROP INDEX IF EXISTS serials_by_state",
        "CREATE INDEX IF NOT EXISTS serials_reserved ON serials (pool, station_id)"
        " WHERE state = 'reserved'",
        "CREATE INDEX IF NOT EXISTS serials_returned ON serials (pool, serial)"
        " WHERE state = 'returned'",
    },
    // Version 3: why an attempt failed, as one code of a closed set (NULL when it passed), so
    // that failures can be counted across a line. The yield reads each kind of board through an
    // index that holds all it asks for, in board order, and the Pareto and any window of time
    // read the attempts by when they ended: a report over millions of rows reads no table row
    // and sorts none. The unnumbered boards' index holds serial too, always NULL there: without
    // it SQLite reads each row to check the index's own condition.
    {
        "ALTER TABLE attempts ADD COLUMN reason_code TEXT",
        "CREATE INDEX IF NOT EXISTS attempts_numbered_boards"
        " ON attempts (pool, serial, end_unix_ms, result, host, slot) WHERE serial IS NOT NULL",
        "CREATE INDEX IF NOT EXISTS attempts_unnumbered_boards"
        " ON attempts (station_id, slot, board, end_unix_ms, result, host, serial)"
        " WHERE serial IS NULL",
        "CREATE INDEX IF NOT EXISTS attempts_by_end ON attempts (end_unix_ms, result, reason_code)",
    },
};

const char* serial_state_name(SerialState state) {
  switch (state) {
    case SerialState::Reserved: return "reserved";
    case SerialState::Used: return "used";
    case SerialState::Returned: return "returned";
    case SerialState::Spoiled: return "spoiled";
  }
  return "spoiled";
}

}  // namespace xarveld::station
