#include "station/web/http_socket.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace xarveld::station {

bool http_listen(const std::string& address, const std::vector<std::string>& names,
                 HttpListener& listener, std::string& why) {
  const std::string form = "--http takes ADDRESS:PORT, an IPv4 address or an [IPv6] address: ";
  std::size_t colon = address.rfind(':');
  if (colon == std::string::npos) {
    why = form + address;
    return false;
  }
  std::string host = address.substr(0, colon);
  int port = 0;
  if (!parse_port(address.substr(colon + 1), port)) {
    why = "--http takes a port from 0 to 65535: " + address;
    return false;
  }
  sockaddr_storage storage{};
  if (!ip_literal(host, storage)) {
    why = form + address;
    return false;
  }
  bool v6 = storage.ss_family == AF_INET6;
  auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
  auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
  (v6 ? in6->sin6_port : in4->sin_port) = htons(static_cast<std::uint16_t>(port));
  socklen_t size = v6 ? sizeof *in6 : sizeof *in4;
  int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  if (fd >= 0) {
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // [::] then means IPv6 alone, as given.
    if (v6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  }
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&storage), size) != 0 ||
      listen(fd, 256) != 0) {
    why = "cannot listen on " + address + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &size);
  listener.fd = fd;
  listener.hosts = host_rule(storage, names);
  listener.url = "http://" + host + ":" + std::to_string(listener.hosts.port) + "/";
  return true;
}

unsigned http_connection_limit() {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) != 0) return CONNECTION_LIMIT / 4;
  rlim_t wanted = CONNECTION_LIMIT + FILES_BESIDE_CONNECTIONS;
  if (files.rlim_cur != RLIM_INFINITY && files.rlim_cur < wanted) {
    rlimit raised = files;
    raised.rlim_cur = files.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, files.rlim_max);
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) files = raised;
  }
  if (files.rlim_cur == RLIM_INFINITY || files.rlim_cur >= wanted) return CONNECTION_LIMIT;
  rlim_t left = files.rlim_cur > 2 * FILES_BESIDE_CONNECTIONS
                    ? files.rlim_cur - FILES_BESIDE_CONNECTIONS
                    : files.rlim_cur / 2;
  return static_cast<unsigned>(left);
}

}  // namespace xarveld::station
