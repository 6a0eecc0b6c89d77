#include "station/line/line_options.hpp"

#include <algorithm>

namespace xarveld::station {

namespace {

LineParse refuse(const std::string& message) {
  LineParse parse;
  parse.outcome = LineParseOutcome::Error;
  parse.message = message;
  return parse;
}

// Host names as DNS has them: labels of letters, digits and '-', apart by '.'.
bool host_name_form(const std::string& name) {
  bool form = !name.empty() && name.size() <= 253 && name.front() != '.' &&
              name.front() != '-' && name.find("..") == std::string::npos;
  for (char c : name) {
    form = form && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '.');
  }
  return form;
}

}  // namespace

std::string line_usage() {
  return "usage: xarveld-line --http ADDRESS:PORT [--ledger WHERE] [--http-name NAME[,NAME...]]\n"
         "A read-only page of the whole line, from its ledger alone.\n"
         "  --http ADDRESS:PORT        where the page listens: an IPv4 address or an [IPv6]\n"
         "                             address; port 0 takes a free one\n"
         "  --ledger WHERE             the line's ledger: a SQLite file, or a PostgreSQL\n"
         "                             connection string (default XARVELD_LEDGER, else this\n"
         "                             PC's own file); it is only read\n"
         "  --http-name NAME[,NAME...] host names the page also answers to\n"
         "  --help, --version          print this text, or the version, and exit\n";
}

LineParse parse_line_options(const std::vector<std::string>& arguments) {
  for (const std::string& argument : arguments) {
    if (argument == "--help") return {LineParseOutcome::Help, {}, ""};
    if (argument == "--version") return {LineParseOutcome::Version, {}, ""};
  }
  LineParse parse;
  LineOptions& options = parse.options;
  std::vector<std::string> given;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string name = arguments[i];
    std::string value;
    bool inline_value = false;
    std::size_t equals = name.find('=');
    if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = name.substr(equals + 1);
      name.resize(equals);
      inline_value = true;
    }
    if (name != "--ledger" && name != "--http" && name != "--http-name") {
      return refuse(name.rfind("-", 0) == 0 ? "unknown option " + name
                                            : "unexpected argument " + name +
                                                  " (the line's page takes options only)");
    }
    if (std::find(given.begin(), given.end(), name) != given.end()) {
      return refuse(name + " given twice");
    }
    given.push_back(name);
    if (!inline_value) {
      if (i + 1 >= arguments.size()) return refuse(name + " needs a value");
      value = arguments[++i];
    }
    if (value.empty()) return refuse(name + " needs a value");
    if (name == "--ledger") {
      options.ledger = value;
    } else if (name == "--http") {
      options.http = value;
    } else {
      for (std::size_t from = 0;;) {
        std::size_t comma = value.find(',', from);
        std::string host = value.substr(from, comma == std::string::npos ? comma : comma - from);
        if (!host_name_form(host)) {
          return refuse("--http-name takes host names apart by ',' (letters, digits, '-', '.'): " +
                        value);
        }
        options.http_names.push_back(host);
        if (comma == std::string::npos) break;
        from = comma + 1;
      }
    }
  }
  if (options.http.empty()) {
    return refuse("--http ADDRESS:PORT is needed: the line's page is all xarveld-line does");
  }
  return parse;
}

}  // namespace xarveld::station
