#pragma once
// xarveld-line's command line, a pure function: where the ledger is, and where the page listens.
#include <string>
#include <vector>

namespace xarveld::station {

struct LineOptions {
  std::string ledger;  // empty: ledger_default_location()
  std::string http;    // ADDRESS:PORT
  std::vector<std::string> http_names;
};

enum class LineParseOutcome { Run, Help, Version, Error };

struct LineParse {
  LineParseOutcome outcome = LineParseOutcome::Run;
  LineOptions options;
  std::string message;  // one line, when outcome is Error
};

constexpr int LINE_REFUSED = 2;

// arguments: the command line without the program name.
LineParse parse_line_options(const std::vector<std::string>& arguments);

std::string line_usage();

}  // namespace xarveld::station
