#pragma once
// Where the page listens and the names its requests may give: --http's ADDRESS:PORT, and the
// Host rule that keeps a page elsewhere from rebinding its own name to this address and reading
// the line. Pure, on the system's socket address types.
#include <sys/socket.h>

#include <string>
#include <vector>

namespace xarveld::station {

// A port from 0 to 65535, in decimal digits only.
bool parse_port(const std::string& text, int& port);

// Whether text is an IPv4 dotted quad or an IPv6 address in brackets; its bytes into address
// (port 0).
bool ip_literal(const std::string& text, sockaddr_storage& address);

// What Host may name: the address listened on (every address, when it listens on all),
// localhost when that is loopback, and the names given, in lower case; a port, when given, the
// one listened on.
struct HostRule {
  sockaddr_storage address{};
  int port = 0;
  bool wildcard = false;
  bool loopback = false;
  std::vector<std::string> names;
};

// The rule for a socket bound at bound (its port included) and the names given with --http-name.
HostRule host_rule(const sockaddr_storage& bound, const std::vector<std::string>& names);

// Whether a request's Host value names this station by rule. A page that rebinds its own name to
// this address sends that name, which is none of these.
bool host_acceptable(const HostRule& rule, const std::string& host);

// The Content-Security-Policy of the page: its one inline script and style may run, by their
// SHA-256, and nothing else. False with why when the page has no such script or style.
bool page_security_policy(const std::string& page, std::string& policy, std::string& why);

}  // namespace xarveld::station
