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
constexpr std::int64_t DAY_MS = 24 * HOUR_MS;
constexpr std::int64_t SHIFT_MS = 8 * HOUR_MS;
constexpr std::int64_t FIRST_SHIFT_MS = 6 * HOUR_MS;  // the morning shift starts 06:00

// What a failed attempt recorded before attempts kept their reason is counted as.
constexpr const char* NO_CODE = "UNRECORDED";

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// The group of a board, from its first attempt's columns. Shifts and days come back as the local
// milliseconds of their start, labelled here; the SQL knows no calendar.
const char* group_sql(YieldBy by) {
  switch (by) {
    case YieldBy::Total: return "CAST('total' AS TEXT)";
    case YieldBy::Slot: return "host || '/' || slot";
    case YieldBy::Station: return "host";
    case YieldBy::Shift: return "((local_ms - 21600000) / 28800000) * 28800000 + 21600000";
    case YieldBy::Day: return "(local_ms / 86400000) * 86400000";
  }
  return "host";
}

bool by_time(YieldBy by) { return by == YieldBy::Shift || by == YieldBy::Day; }

}  // namespace

// A board: its number where it had one, else its station, slot and board. Its attempts are
// ranked by when they ended; the first gives the board its group and its first-pass.
std::string yield_query(YieldBy by) {
  return std::string(
             "WITH tries AS (SELECT host, slot, result, end_unix_ms,"
             " end_unix_ms + CAST($2 AS BIGINT) AS local_ms,"
             " ROW_NUMBER() OVER (board ORDER BY end_unix_ms, attempt_id) AS nth,"
             " COUNT(*) OVER board AS tried,"
             " MAX(CASE WHEN result = 'PASS' THEN 1 ELSE 0 END) OVER board AS passed"
             " FROM attempts WINDOW board AS (PARTITION BY serial IS NULL,"
             " CASE WHEN serial IS NULL THEN station_id ELSE pool END,"
             " CASE WHEN serial IS NULL THEN slot END, COALESCE(serial, board)))"
             " SELECT ") +
         group_sql(by) +
         ", COUNT(*), SUM(tried), SUM(CASE WHEN result = 'PASS' THEN 1 ELSE 0 END), SUM(passed)"
         " FROM tries WHERE nth = 1 AND end_unix_ms >= CAST($1 AS BIGINT) GROUP BY 1";
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
  if (by == YieldBy::Total && rows.empty()) rows.push_back({"total"});
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
