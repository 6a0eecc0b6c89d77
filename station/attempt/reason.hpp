#pragma once
// Why a run failed, in the tool's own words: the explanation it writes to its standard error
// when that is a terminal. Pure.
#include <cstddef>
#include <string>
#include <string_view>

#include "station/attempt/plain_text.hpp"

namespace xarveld::station {

// How much of a run's standard error the station keeps for the reason (its end), and the
// longest reason it gives.
constexpr std::size_t REASON_SOURCE_LIMIT = 64 * 1024;
constexpr std::size_t REASON_LIMIT = SHOWN_TEXT_LIMIT;

// The last line that holds text once plain_text has cleaned it (a CR ends a line as an LF does),
// the tool's name before it ("xarveld: ") and the spaces around it dropped, cut to REASON_LIMIT
// bytes with "..." (never inside a UTF-8 character). Empty when no line holds text.
std::string failure_reason(std::string_view error_output);

// text with every mention of the port as the run was given it (bound, the station's own link)
// replaced by the slot's port as the operator gave it.
std::string with_port_named(std::string_view text, const std::string& bound,
                            const std::string& port);

// Appends bytes to tail, keeping only its last REASON_SOURCE_LIMIT bytes.
void keep_reason_source(std::string& tail, std::string_view bytes);

}  // namespace xarveld::station
