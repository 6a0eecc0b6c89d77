#pragma once
// The readings of the open ledger for the line's page, made from the line's one reading thread
// once a second. The shift's view and Pareto are read each time: they cost as much as the shift
// holds. Its yield per host reads every attempt of each board tried this shift, to find each
// one's first: more than the view, so it is read again only when the shift has a new attempt,
// or its last reading is LINE_YIELD_MAX_AGE_MS old, and after the view, so that a new attempt
// is on the page at once.
#include <cstdint>
#include <string>

#include "station/ledger/ledger.hpp"
#include "station/line/line_page.hpp"

namespace xarveld::station {

constexpr std::int64_t LINE_YIELD_MAX_AGE_MS = 30000;

// The view and Pareto of the shift holding now_unix_ms, as the ledger has them now.
LedgerStatus line_read_view(std::int64_t now_unix_ms, LineReading& reading, std::string& error);

// Whether reading (its view just read) needs the yield read again, rather than last's.
bool line_yield_due(const LineReading& last, const LineReading& reading,
                    std::int64_t now_unix_ms);

LedgerStatus line_read_yield(std::int64_t now_unix_ms, LineReading& reading, std::string& error);

// What changes whenever an attempt of the shift is added: each slot's last one.
std::int64_t line_fingerprint(const LineView& view);

}  // namespace xarveld::station
