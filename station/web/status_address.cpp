#include "station/web/status_address.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "station/os/sha256.hpp"

namespace xarveld::station {

namespace {
std::string folded(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool same_address(const sockaddr_storage& a, const sockaddr_storage& b) {
  if (a.ss_family != b.ss_family) return false;
  if (a.ss_family == AF_INET6) {
    return std::memcmp(&reinterpret_cast<const sockaddr_in6&>(a).sin6_addr,
                       &reinterpret_cast<const sockaddr_in6&>(b).sin6_addr, 16) == 0;
  }
  return reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr ==
         reinterpret_cast<const sockaddr_in&>(b).sin_addr.s_addr;
}

std::string base64(const std::string& bytes) {
  static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 2]);
    text += digits[(group >> 18) & 63];
    text += digits[(group >> 12) & 63];
    text += i + 1 < bytes.size() ? digits[(group >> 6) & 63] : '=';
    text += i + 2 < bytes.size() ? digits[group & 63] : '=';
  }
  return text;
}

// 'sha256-...' of the text between the page's <tag> and </tag>, which the policy lets run.
bool inline_hash(const std::string& page, const std::string& tag, std::string& source,
                 std::string& why) {
  std::size_t open = page.find("<" + tag + ">");
  std::size_t close = page.find("</" + tag + ">");
  if (open == std::string::npos || close == std::string::npos || close < open) {
    why = "the page has no <" + tag + ">";
    return false;
  }
  std::size_t from = open + tag.size() + 2;
  std::string hex;
  if (!sha256_hex(page.data() + from, close - from, hex, why)) return false;
  std::string digest;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    digest += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  source = "'sha256-" + base64(digest) + "'";
  return true;
}
}  // namespace

bool parse_port(const std::string& text, int& port) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  port = std::stoi(text);
  return port <= 65535;
}

// Whether an address text (IPv4 dotted quad, IPv6 in brackets) is one; its bytes into address.
bool ip_literal(const std::string& text, sockaddr_storage& address) {
  address = {};
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    in6->sin6_family = AF_INET6;
    return inet_pton(AF_INET6, text.substr(1, text.size() - 2).c_str(), &in6->sin6_addr) == 1;
  }
  auto* in4 = reinterpret_cast<sockaddr_in*>(&address);
  in4->sin_family = AF_INET;
  // inet_pton takes only the dotted quad: no host name, no short or octal forms.
  return inet_pton(AF_INET, text.c_str(), &in4->sin_addr) == 1;
}

HostRule host_rule(const sockaddr_storage& bound, const std::vector<std::string>& names) {
  HostRule rule;
  rule.address = bound;
  if (bound.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(bound);
    rule.port = ntohs(in6.sin6_port);
    rule.wildcard = IN6_IS_ADDR_UNSPECIFIED(&in6.sin6_addr);
    rule.loopback = IN6_IS_ADDR_LOOPBACK(&in6.sin6_addr);
  } else {
    const auto& in4 = reinterpret_cast<const sockaddr_in&>(bound);
    rule.port = ntohs(in4.sin_port);
    rule.wildcard = in4.sin_addr.s_addr == 0;
    rule.loopback = (ntohl(in4.sin_addr.s_addr) >> 24) == 127;
  }
  for (const std::string& name : names) rule.names.push_back(folded(name));
  return rule;
}

bool host_acceptable(const HostRule& rule, const std::string& host) {
  std::string value = folded(host);
  if (value.empty()) return false;
  std::size_t end = value.front() == '[' ? value.find(']') : value.find(':');
  if (end != std::string::npos && value.front() == '[') ++end;
  std::string name = value.substr(0, end);
  if (end != std::string::npos && end < value.size()) {
    int port = 0;
    if (value[end] != ':' || !parse_port(value.substr(end + 1), port) || port != rule.port) {
      return false;
    }
  }
  sockaddr_storage address;
  if (ip_literal(name, address)) {
    return rule.wildcard || same_address(address, rule.address);
  }
  if (name.size() > 1 && name.back() == '.') name.pop_back();  // the same name, fully qualified
  if (name == "localhost") return rule.loopback;
  return std::find(rule.names.begin(), rule.names.end(), name) != rule.names.end();
}

bool page_security_policy(const std::string& page, std::string& policy, std::string& why) {
  std::string script, style;
  if (!inline_hash(page, "script", script, why) || !inline_hash(page, "style", style, why)) {
    return false;
  }
  policy = "default-src 'none'; script-src " + script + "; style-src " + style +
           "; connect-src 'self'; img-src 'self'; base-uri 'none'; form-action 'none'; "
           "frame-ancestors 'none'";
  return true;
}

}  // namespace xarveld::station
