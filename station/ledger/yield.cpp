// Yield and Pareto: the statements both backends run, and what the station makes of their rows.
// Local time reaches the database as one number, this PC's UTC offset now, added to end_unix_ms:
// integer arithmetic that SQLite and PostgreSQL do alike, with no time zone of the server's.
#include <algorithm>
#include <cstdlib>

#include "station/ledger/ledger_backend.hpp"
#include "station/os/local_time.hpp"
#include "station/os/utc_time.hpp"

namespace xarveld::station {

namespace {

constexpr std::int64_t HOUR_MS = 3600000;
constexpr std::int64_t SHIFT_MS = 8 * HOUR_MS;
constexpr std::int64_t FIRST_SHIFT_MS = 6 * HOUR_MS;  // the morning shift starts 06:00

// What a failed attempt recorded before attempts kept their reason is counted as.
constexpr const char* NO_CODE = "UNRECORDED";

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Where a board's first attempt was, for the groups that ask. An unnumbered board never leaves
// its slot. A numbered one nearly never does, which its attempts' least and greatest place tell
// without building a string per attempt; one that was tried again elsewhere is looked up by its
// number, in its index, the attempt that ended first.
std::string place_sql(YieldBy by, bool numbered) {
  const char* place = by == YieldBy::Slot ? "host || '/' || slot" : "host";
  if (by != YieldBy::Slot && by != YieldBy::Station) return "NULL";
  if (!numbered) return by == YieldBy::Slot ? "MIN(host) || '/' || slot" : "MIN(host)";
  return std::string(by == YieldBy::Slot
                         ? "CASE WHEN MIN(host) = MAX(host) AND MIN(slot) = MAX(slot)"
                           " THEN MIN(host) || '/' || MIN(slot)"
                         : "CASE WHEN MIN(host) = MAX(host) THEN MIN(host)") +
         " ELSE (SELECT " + place + " FROM attempts a WHERE a.serial IS NOT NULL"
         " AND a.pool = o.pool AND a.serial = o.serial ORDER BY a.end_unix_ms, a.attempt_id"
         " LIMIT 1) END";
}

// The group of a board, from its first attempt: the slot and the station from where it was,
// the shift and the day from when it ended, as the local milliseconds of their start (labelled
// here: the SQL knows no calendar).
const char* group_sql(YieldBy by) {
  switch (by) {
    case YieldBy::Total: return "CAST('total' AS TEXT)";
    case YieldBy::Slot:
    case YieldBy::Station: return "b.first_place";
    case YieldBy::Shift:
      return "((b.first_end + CAST($2 AS BIGINT) - 21600000) / 28800000) * 28800000 + 21600000";
    case YieldBy::Day: return "((b.first_end + CAST($2 AS BIGINT)) / 86400000) * 86400000";
  }
  return "b.first_place";
}

bool by_time(YieldBy by) { return by == YieldBy::Shift || by == YieldBy::Day; }

}  // namespace

// A board: its number where it had one, else its station, slot and board; each kind read in the
// order of its own index, which holds every column asked for, so that no attempt row is sorted
// or fetched. Its first attempt is the one that ended first: it passed when no attempt ended
// before the first pass. A window counts only boards first tried in it, which a board's every
// attempt must tell; so it reads every attempt of the boards with one ending in the window,
// found through the index by end time, and leaves the rest of the ledger unread.
std::string yield_query(YieldBy by, bool windowed) {
  const char* per_board =
      " MIN(end_unix_ms) AS first_end, COUNT(*) AS tried,"
      " MIN(CASE WHEN result = 'PASS' THEN end_unix_ms END) AS first_pass_end, ";
  // No condition on serial here: with one, SQLite reads a board index whole for the window
  // rather than the index by end time. A board brought in by the other kind's key has no
  // attempt in the window, so it was first tried before it, and the rule on first_end drops it.
  const char* numbered_in_window =
      windowed ? " AND (pool, serial) IN (SELECT pool, serial FROM attempts"
                 " WHERE end_unix_ms >= CAST($1 AS BIGINT))"
               : "";
  const char* unnumbered_in_window =
      windowed ? " AND (station_id, slot, board) IN (SELECT station_id, slot, board FROM attempts"
                 " WHERE end_unix_ms >= CAST($1 AS BIGINT))"
               : "";
  return std::string("WITH b AS (SELECT") + per_board + place_sql(by, true) +
         " AS first_place FROM attempts o WHERE serial IS NOT NULL" + numbered_in_window +
         " GROUP BY pool, serial"
         " UNION ALL SELECT" + per_board + place_sql(by, false) +
         " FROM attempts WHERE serial IS NULL" + unnumbered_in_window +
         " GROUP BY station_id, slot, board),"
         " g AS (SELECT " + group_sql(by) + " AS grp, b.tried,"
         " CASE WHEN b.first_pass_end = b.first_end THEN 1 ELSE 0 END AS first_pass,"
         " CASE WHEN b.first_pass_end IS NULL THEN 0 ELSE 1 END AS final_pass"
         " FROM b WHERE b.first_end >= CAST($1 AS BIGINT) AND CAST($2 AS BIGINT) IS NOT NULL)"
         " SELECT MIN(grp), COUNT(*), SUM(tried), SUM(first_pass), SUM(final_pass) FROM g" +
         // The total is one row, even of no boards, and spares SQLite a sort of every board.
         std::string(by == YieldBy::Total ? "" : " GROUP BY grp");
}

const char* const PARETO_QUERY =
    "SELECT COALESCE(reason_code, ''), COUNT(*) FROM attempts"
    " WHERE result <> 'PASS' AND end_unix_ms >= CAST($1 AS BIGINT) GROUP BY 1";

std::int64_t shift_start_unix_ms(std::int64_t now_unix_ms) {
  std::int64_t offset = utc_offset_ms(now_unix_ms);
  std::int64_t local = now_unix_ms + offset;
  return floor_div(local - FIRST_SHIFT_MS, SHIFT_MS) * SHIFT_MS + FIRST_SHIFT_MS - offset;
}

// The backend's rows, labelled and put in order: byte order of names, time order of shifts and
// days, so that both databases, whatever their collation, give the same report.
LedgerStatus yield_rows(YieldBy by, std::int64_t since_unix_ms, const LedgerBackend& backend,
                        std::vector<YieldRow>& rows, std::string& error) {
  rows.clear();
  LedgerStatus status =
      backend.yield(by, since_unix_ms, utc_offset_ms(now_unix_ms()), rows, error);
  if (status != LedgerStatus::Ok) return status;
  if (by == YieldBy::Total) {
    rows.resize(1);  // a ledger without boards still has its total
    rows[0].group = "total";
  }
  if (!by_time(by)) {
    std::sort(rows.begin(), rows.end(),
              [](const YieldRow& a, const YieldRow& b) { return a.group < b.group; });
    return status;
  }
  std::sort(rows.begin(), rows.end(), [](const YieldRow& a, const YieldRow& b) {
    return std::strtoll(a.group.c_str(), nullptr, 10) < std::strtoll(b.group.c_str(), nullptr, 10);
  });
  for (YieldRow& row : rows) {
    std::string stamp = iso_utc(std::strtoll(row.group.c_str(), nullptr, 10));
    row.group = by == YieldBy::Day ? stamp.substr(0, 10) : stamp.substr(0, 10) + " " +
                                                               stamp.substr(11, 5);
  }
  return status;
}

LedgerStatus pareto_rows(std::int64_t since_unix_ms, const LedgerBackend& backend,
                         std::vector<ParetoRow>& rows, std::string& error) {
  rows.clear();
  LedgerStatus status = backend.pareto(since_unix_ms, rows, error);
  for (ParetoRow& row : rows) {
    if (row.reason_code.empty()) row.reason_code = NO_CODE;
  }
  std::sort(rows.begin(), rows.end(), [](const ParetoRow& a, const ParetoRow& b) {
    return a.attempts != b.attempts ? a.attempts > b.attempts : a.reason_code < b.reason_code;
  });
  return status;
}

}  // namespace xarveld::station
