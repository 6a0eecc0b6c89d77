#pragma once
// What every page of ours shares on the wire: the socket taken before anything starts (so that a
// bad address or a port in use refuses the program at once), and the limits the library's server
// keeps against slow and hostile clients.
#include <string>
#include <vector>

#include "station/web/status_address.hpp"

namespace xarveld::station {

// Connections at once, and from one address: the share of one cannot crowd out the others.
constexpr unsigned CONNECTION_LIMIT = 768;
constexpr unsigned ADDRESS_LIMIT = 32;
constexpr unsigned FILES_BESIDE_CONNECTIONS = 512;  // the program's own: tools, ledger, record
constexpr unsigned CONNECTION_TIMEOUT_SECONDS = 30;  // an idle request, not a stream

struct HttpListener {
  int fd = -1;
  HostRule hosts;   // what Host may name
  std::string url;  // printed once at the start
};

// Checks ADDRESS:PORT (an IPv4 literal, or an IPv6 literal in brackets; port 0 picks a free one)
// and listens there. False with why (one line).
bool http_listen(const std::string& address, const std::vector<std::string>& names,
                 HttpListener& listener, std::string& why);

// The connections the program can hold, with the files it needs itself: the soft limit on open
// files is raised toward the hard one when it is short.
unsigned http_connection_limit();

}  // namespace xarveld::station
