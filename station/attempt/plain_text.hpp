#pragma once
// Text from a tool, a database or a file name, made fit to show on the operator's terminal, in a
// plain line and on the page: what could move a cursor, clear a screen or change a title never
// gets there. Pure.
#include <cstddef>
#include <string>
#include <string_view>

namespace xarveld::station {

// The text with escape sequences (ESC and its CSI or OSC), every other C0 and C1 control, DEL and
// every byte that is not part of valid UTF-8 left out; a tab becomes a space.
std::string plain_text(std::string_view text);

// Where the escape sequence at text[at] (an ESC) ends: CSI up to its final byte, OSC up to BEL
// or ST, any other up to the byte after the ESC.
std::size_t escape_end(std::string_view text, std::size_t at);

// The longest text shown for one thing (a message, a reason): a line on a terminal, a few on
// the page, and a snapshot of sixteen failed slots stays small.
constexpr std::size_t SHOWN_TEXT_LIMIT = 400;

// text cut to at most limit bytes, ending in "..." when cut, never inside a UTF-8 character.
std::string cut_text(std::string text, std::size_t limit);

// plain_text cut to SHOWN_TEXT_LIMIT.
std::string shown_text(std::string_view text);

}  // namespace xarveld::station
