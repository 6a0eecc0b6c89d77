// The line's page from a reading of the ledger: a tile per host whatever its station runs, a
// station silent once its lease ran out without a word, the line's totals the hosts' sum, the
// reason in the tool's words, and a ledger that stopped answering said since when.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "station/line/line_options.hpp"
#include "station/line/line_page.hpp"
#include "station/line/line_read.hpp"

namespace xarveld::station {
namespace {

constexpr std::int64_t NOW = 1796720400000;  // 2026-12-08T09:00:00Z
constexpr std::int64_t SHIFT = NOW - 3 * 3600000;

LineStationRow station(const char* id, const char* host, std::int64_t lease, bool ended) {
  LineStationRow row;
  row.station_id = id;
  row.host = host;
  row.started_unix_ms = SHIFT - 60000;
  row.lease_until_unix_ms = lease;
  row.ended = ended;
  return row;
}

nlohmann::json page(const LineReading& reading, const LineHealth& health) {
  return nlohmann::json::parse(line_page_json(reading, health));
}

TEST(LinePage, TilesPerHostStateByLeaseTotalsAndFailures) {
  LineReading reading;
  reading.shift_start_unix_ms = SHIFT;
  reading.view.now_unix_ms = NOW;
  // pc-1 restarted: its first run ended, the second lives; its slot a's newest result wins.
  reading.view.stations = {station("r1", "pc-1", NOW - 7200000, true),
                           station("r2", "pc-1", NOW + 20000, false),
                           station("r3", "pc-2", NOW - 1, false),
                           station("r4", "pc-3", NOW - 600000, true),
                           station("r5", "pc-3", NOW - 900000, false)};
  // pc-3's first station was killed; the one started after it ended: pc-3 ended, not silent.
  reading.view.stations[4].started_unix_ms = SHIFT - 120000;
  reading.view.stations[0].slots = {{"a", 4, 1, "FAIL", "NO_ANSWER", NOW - 7300000}};
  reading.view.stations[1].slots = {{"a", 9, 2, "PASS", "", NOW - 5000}};
  reading.hosts = {{"pc-1", 30, 34, 27, 29}, {"pc-2", 10, 10, 10, 10}};
  reading.pareto = {{"NO_ANSWER", 3}, {"DATA_MISMATCH", 1}};
  LineFailureRow failure;
  failure.host = "pc-1";
  failure.slot = "a";
  failure.result = "FAIL";
  failure.reason_code = "NO_ANSWER";
  failure.record_json = R"({"reason": "no answer from the loader\u001b[2J on ./COM1"})";
  reading.view.failures = {failure, failure};
  reading.view.failures[1].record_json = "{\"reason\": null}";
  LineHealth health;
  line_health_note(health, true, NOW, "");
  nlohmann::json line = page(reading, health);

  std::string tiles;
  for (const auto& s : line["stations"]) {
    std::ostringstream tile;
    tile << s["host"].get<std::string>() << " " << s["state"].get<std::string>() << " "
         << s["boards"].get<int>();
    for (const auto& slot : s["slots"]) {
      tile << " " << slot["slot"].get<std::string>() << "#" << slot["board"].get<int>();
    }
    tiles += tile.str() + ";";
  }
  EXPECT_EQ(tiles, "pc-1 alive 30 a#9;pc-2 silent 10;pc-3 ended 0;");
  // A silent station was last heard when it last renewed its lease.
  EXPECT_EQ(line["stations"][1]["last_heard"], "2026-12-08T08:59:29.999Z");
  // pc-1's boards counted from the shift's start, not from its station's earlier start.
  EXPECT_NEAR(line["stations"][0]["boards_per_hour"].get<double>(), 29.0 / 3, 1e-9);
  EXPECT_NEAR(line["stations"][0]["first_pass_yield_percent"].get<double>(), 90.0, 1e-9);
  EXPECT_EQ(line["totals"]["boards"], 40);
  EXPECT_EQ(line["totals"]["attempts"], 44);
  EXPECT_EQ(line["totals"]["final_pass"], 39);
  EXPECT_EQ(line["totals"]["stations_alive"], 1);
  EXPECT_EQ(line["pareto"][0]["reason_code"], "NO_ANSWER");
  EXPECT_EQ(line["failures"][0]["reason"], "no answer from the loader on ./COM1");
  EXPECT_EQ(line["failures"][1]["reason"], "");
  EXPECT_EQ(line["ledger"]["answering"], true);

  // The ledger stops answering: the last reading stays, and the page says since when.
  line_health_note(health, false, NOW + 1000, "cannot be reached: refused");
  line_health_note(health, false, NOW + 2000, "cannot be reached: timed out");
  line = page(reading, health);
  EXPECT_EQ(line["ledger"]["answering"], false);
  EXPECT_EQ(line["ledger"]["since"], "2026-12-08T09:00:01.000Z");
  EXPECT_EQ(line["ledger"]["why"], "cannot be reached: timed out");
  EXPECT_EQ(line["stations"].size(), 3u);
  // No rate from one quick board.
  EXPECT_FALSE(line_boards_per_hour(1, NOW - 9000, NOW));
  EXPECT_FALSE(line_boards_per_hour(0, SHIFT, NOW));
}

// The yield reads every attempt of the shift's boards: it is read again only when the shift has
// a new attempt on any slot, the shift changed, or the last reading is old.
TEST(LineRead, YieldIsReadAgainOnlyWhenTheShiftChanged) {
  LineReading last;
  last.shift_start_unix_ms = SHIFT;
  last.view.stations = {station("r1", "pc-1", NOW, false)};
  last.view.stations[0].slots = {{"a", 1, 1, "PASS", "", NOW - 9000}, {"b", 1, 1, "PASS", "", NOW}};
  last.fingerprint = line_fingerprint(last.view);
  EXPECT_TRUE(line_yield_due(last, last, NOW)) << "never read";
  last.yield_read_unix_ms = NOW;
  LineReading next = last;
  EXPECT_FALSE(line_yield_due(last, next, NOW + 1000));
  EXPECT_TRUE(line_yield_due(last, next, NOW + LINE_YIELD_MAX_AGE_MS));
  next.view.stations[0].slots[0].end_unix_ms = NOW + 500;  // slot a's next board
  next.fingerprint = line_fingerprint(next.view);
  EXPECT_TRUE(line_yield_due(last, next, NOW + 1000));
  next = last;
  next.view.stations[0].slots.push_back({"c", 1, 1, "FAIL", "TIMEOUT", NOW - 9000});
  next.fingerprint = line_fingerprint(next.view);
  EXPECT_TRUE(line_yield_due(last, next, NOW + 1000)) << "a slot's first attempt";
  next = last;
  next.shift_start_unix_ms = NOW;
  EXPECT_TRUE(line_yield_due(last, next, NOW + 1000));
}

TEST(LineOptionsParse, HttpIsNeededAndEveryMistakeIsOneLine) {
  LineParse parse = parse_line_options({"--ledger", "postgresql://line@db/ledger", "--http=[::1]:0",
                                        "--http-name", "line.example,Big-Screen"});
  ASSERT_EQ(parse.outcome, LineParseOutcome::Run) << parse.message;
  EXPECT_EQ(parse.options.ledger, "postgresql://line@db/ledger");
  EXPECT_EQ(parse.options.http, "[::1]:0");
  EXPECT_EQ(parse.options.http_names, (std::vector<std::string>{"line.example", "Big-Screen"}));
  EXPECT_EQ(parse_line_options({"--http", "x", "--help"}).outcome, LineParseOutcome::Help);
  for (const auto& [arguments, message] :
       std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{}, "--http ADDRESS:PORT is needed: the line's page is all xarveld-line does"},
           {{"--http"}, "--http needs a value"},
           {{"--http", "127.0.0.1:0", "--http", "127.0.0.1:1"}, "--http given twice"},
           {{"--slot", "a=b"}, "unknown option --slot"},
           {{"--http", "127.0.0.1:0", "extra"},
            "unexpected argument extra (the line's page takes options only)"},
           {{"--http", "127.0.0.1:0", "--http-name", "a b"},
            "--http-name takes host names apart by ',' (letters, digits, '-', '.'): a b"}}) {
    LineParse refused = parse_line_options(arguments);
    EXPECT_EQ(refused.outcome, LineParseOutcome::Error);
    EXPECT_EQ(refused.message, message);
  }
}

}  // namespace
}  // namespace xarveld::station
