#pragma once
// What the line's page shows, made from one reading of the ledger: a tile per host, the line's
// totals, the Pareto of the shift's reasons and the last failures, as the JSON /line.json
// serves. Pure: the reading and the clock come in, text goes out.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "station/ledger/ledger.hpp"

namespace xarveld::station {

// One reading of the ledger: the line's view, and the shift's yield per host and its Pareto.
struct LineReading {
  std::int64_t shift_start_unix_ms = 0;
  LineView view;
  std::vector<YieldRow> hosts;  // ledger_yield(YieldBy::Station, shift start)
  std::vector<ParetoRow> pareto;
  std::int64_t fingerprint = 0;         // line_fingerprint(view)
  std::int64_t yield_read_unix_ms = 0;  // when hosts was read
};

// Whether the ledger answers, as the line last found it, on the line's own clock.
struct LineHealth {
  bool read = false;  // a reading has come: the page has something to show
  bool answering = false;
  std::int64_t since_unix_ms = 0;  // the first read it did not answer, or the line's start
  std::string why;                 // while it does not answer
};

// A read that worked, or one that did not (why) at now_unix_ms: the page keeps showing the last
// reading and says since when the ledger has not answered.
void line_health_note(LineHealth& health, bool answered, std::int64_t now_unix_ms,
                      const std::string& why);

// A station, as its lease tells: renewed every LEDGER_RENEW_MS while it runs; ended when it said
// so; silent when its lease ran out without a word (killed, frozen, or cut off from the ledger).
enum class LineStationState { Alive, Silent, Ended };
LineStationState line_station_state(const LineStationRow& station, std::int64_t now_unix_ms);

// Boards passed per hour between from and to; none before one passed and RATE_AFTER_SECONDS
// of the span have gone by, when one quick board would say thousands.
std::optional<double> line_boards_per_hour(std::uint64_t passed, std::int64_t from_unix_ms,
                                           std::int64_t to_unix_ms);

// The reason in the tool's words, from an attempt's record (its "reason"); empty when it has none
// or the record is no JSON object.
std::string record_reason(const std::string& record_json);

// /line.json.
std::string line_page_json(const LineReading& reading, const LineHealth& health);

}  // namespace xarveld::station
