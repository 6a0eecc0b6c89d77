// Where a ledger is: what a location names (a file, or a PostgreSQL server in either of libpq's
// two forms), the passwords it may hold, and the ledger a station uses without --ledger.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>

#include "station/ledger/ledger.hpp"
#include "station/os/files.hpp"

namespace xarveld::station {

const char* const LEDGER_DEFAULT_FILE = "station-ledger.sqlite";

namespace {

// libpq's connection keywords (PostgreSQL 15 and 16). A keyword/value string names at least one;
// a word that is none of them is libpq's to refuse ("invalid connection option").
const char* const LIBPQ_KEYWORDS[] = {
    "host", "hostaddr", "port", "dbname", "user", "password", "passfile", "service",
    "channel_binding", "connect_timeout", "client_encoding", "options", "application_name",
    "fallback_application_name", "keepalives", "keepalives_idle", "keepalives_interval",
    "keepalives_count", "tcp_user_timeout", "replication", "gssencmode", "gsslib",
    "gssdelegation", "krbsrvname", "sslmode", "requiressl", "sslcompression", "sslcert",
    "sslkey", "sslpassword", "sslcertmode", "sslrootcert", "sslcrl", "sslcrldir", "sslsni",
    "requirepeer", "require_auth", "ssl_min_protocol_version", "ssl_max_protocol_version",
    "target_session_attrs", "load_balance_hosts", "sslnegotiation"};

bool libpq_keyword(const std::string& word) {
  return std::find_if(std::begin(LIBPQ_KEYWORDS), std::end(LIBPQ_KEYWORDS),
                      [&](const char* known) { return word == known; }) !=
         std::end(LIBPQ_KEYWORDS);
}

bool secret_keyword(const std::string& word) { return word == "password" || word == "sslpassword"; }

bool space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool word_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

struct Pair {
  std::string key;
  std::size_t begin = 0, end = 0;  // the value's text, as written (inside its quotes)
  std::string value;               // as libpq reads it
};

// The string as libpq reads a keyword/value string: "key = value" pairs apart by white space, a
// value in single quotes when it holds spaces, a backslash taking the next character as it is.
// False when it is not one (a file name, most likely, or a mistyped string); pairs then holds
// those read before the fault, the last perhaps without its closing quote.
bool keyword_pairs(const std::string& text, std::vector<Pair>& pairs) {
  std::size_t at = 0, size = text.size();
  auto skip_space = [&] {
    while (at < size && space(text[at])) ++at;
  };
  for (skip_space(); at < size; skip_space()) {
    Pair pair;
    while (at < size && word_char(text[at])) pair.key += text[at++];
    skip_space();
    if (pair.key.empty() || at >= size || text[at] != '=') return false;
    ++at;
    skip_space();
    bool quoted = at < size && text[at] == '\'';
    if (quoted) ++at;
    pair.begin = at;
    for (; at < size; ++at) {
      if (quoted ? text[at] == '\'' : space(text[at])) break;
      if (text[at] == '\\' && at + 1 < size) ++at;
      pair.value += text[at];
    }
    pair.end = at;
    pairs.push_back(pair);
    if (quoted) {
      if (at >= size) return false;  // no closing quote
      ++at;
    }
  }
  return !pairs.empty();
}

bool starts_with_folded(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

bool postgres_scheme(const std::string& location) {
  return starts_with_folded(location, "postgres:") || starts_with_folded(location, "postgresql:");
}

std::string percent_decoded(const std::string& text) {
  std::string decoded;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() &&
        std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      decoded += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      decoded += text[i];
    }
  }
  return decoded;
}

struct Secret {
  std::size_t begin = 0, end = 0;  // where it is written in the location
  std::string read;                // as the server would be given it
};

// The passwords a location holds: a URL's user:password@ and its ?password= (and sslpassword,
// the key file's), or the same keywords of a keyword/value string.
std::vector<Secret> secrets_of(const std::string& location) {
  std::vector<Secret> secrets;
  if (postgres_scheme(location)) {
    std::size_t start = location.find(':') + 1;
    while (start < location.size() && location[start] == '/') ++start;
    std::size_t authority_end = location.find_first_of("/?#", start);
    if (authority_end == std::string::npos) authority_end = location.size();
    std::size_t at = location.rfind('@', authority_end);
    if (at != std::string::npos && at >= start) {
      std::size_t colon = location.find(':', start);
      if (colon < at) {
        std::string raw = location.substr(colon + 1, at - colon - 1);
        secrets.push_back({colon + 1, at, percent_decoded(raw)});
      }
    }
    std::size_t query = location.find('?', start);
    while (query != std::string::npos && query < location.size()) {
      std::size_t begin = query + 1;
      std::size_t end = location.find_first_of("&#", begin);
      if (end == std::string::npos) end = location.size();
      std::size_t equals = location.find('=', begin);
      if (equals < end && secret_keyword(location.substr(begin, equals - begin))) {
        std::string raw = location.substr(equals + 1, end - equals - 1);
        secrets.push_back({equals + 1, end, percent_decoded(raw)});
      }
      query = end < location.size() && location[end] == '&' ? end : std::string::npos;
    }
    return secrets;
  }
  std::vector<Pair> pairs;
  keyword_pairs(location, pairs);  // a mistyped string's passwords too, up to its fault
  for (const Pair& pair : pairs) {
    if (secret_keyword(pair.key)) secrets.push_back({pair.begin, pair.end, pair.value});
  }
  return secrets;
}

void replace_all(std::string& text, const std::string& what, const std::string& with) {
  if (what.empty()) return;
  for (std::size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + with.size())) {
    text.replace(at, what.size(), with);
  }
}

constexpr const char* HIDDEN = "***";

}  // namespace

LedgerLocationKind ledger_location_kind(const std::string& location) {
  if (location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0) {
    return LedgerLocationKind::Postgres;
  }
  // libpq takes only these two prefixes, in lower case: "postgres:/host/db" or
  // "POSTGRESQL://..." is a mistyped URL, not a file of that name.
  if (postgres_scheme(location)) return LedgerLocationKind::MalformedPostgres;
  // A keyword string names one of libpq's keywords; one that starts with one but goes wrong
  // later is still meant for libpq, which says what is wrong with it.
  std::vector<Pair> pairs;
  bool whole = keyword_pairs(location, pairs);
  bool known = std::any_of(pairs.begin(), pairs.end(),
                           [](const Pair& pair) { return libpq_keyword(pair.key); });
  bool starts_known = !pairs.empty() && libpq_keyword(pairs.front().key);
  return (whole && known) || starts_known ? LedgerLocationKind::Postgres
                                          : LedgerLocationKind::File;
}

std::string ledger_redacted(const std::string& text, const std::string& location) {
  std::vector<Secret> secrets = secrets_of(location);
  if (secrets.empty()) return text;
  std::string shown = location;
  // From the last, so that the places of the earlier ones stay where they were.
  std::sort(secrets.begin(), secrets.end(),
            [](const Secret& a, const Secret& b) { return a.begin > b.begin; });
  for (const Secret& secret : secrets) {
    shown.replace(secret.begin, secret.end - secret.begin, HIDDEN);
  }
  std::string redacted = text;
  replace_all(redacted, location, shown);
  // libpq quotes the part of a location it stumbled on ("invalid percent-encoded token: ..."),
  // which may be the password, as written or as read; the rest of a message is left whole.
  for (std::size_t open = redacted.find('"'); open != std::string::npos;) {
    std::size_t close = redacted.find('"', open + 1);
    if (close == std::string::npos) break;
    std::string quoted = redacted.substr(open + 1, close - open - 1);
    for (const Secret& secret : secrets) {
      replace_all(quoted, location.substr(secret.begin, secret.end - secret.begin), HIDDEN);
      replace_all(quoted, secret.read, HIDDEN);
    }
    redacted.replace(open + 1, close - open - 1, quoted);
    open = redacted.find('"', open + quoted.size() + 2);
  }
  return redacted;
}

bool ledger_location_has_password(const std::string& location) {
  std::vector<Secret> secrets = secrets_of(location);
  return std::any_of(secrets.begin(), secrets.end(),
                     [](const Secret& secret) { return secret.end > secret.begin; });
}

std::string ledger_default_location() {
  const char* chosen = std::getenv("XARVELD_LEDGER");
  if (chosen != nullptr && *chosen != '\0') return chosen;
  return (std::filesystem::path(machine_data_directory()) / LEDGER_DEFAULT_FILE).string();
}

}  // namespace xarveld::station
