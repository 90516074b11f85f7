#include "modbus/host_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <charconv>

namespace {
constexpr long kMaxPort = 65535;

// The port's digits: 1..65535, or 0 where anyPort.
bool CheckPort(const std::string& port, bool anyPort, std::string* problem) {
  long value = -1;
  const char* end = port.data() + port.size();
  const auto result = std::from_chars(port.data(), end, value);
  if (port.empty())
    *problem = "the port is empty";
  else if (port.find_first_not_of("0123456789") != std::string::npos || result.ptr != end)
    *problem = "the port is not a number";
  else if (result.ec != std::errc() || value > kMaxPort)
    *problem = "the port is above 65535";
  else if (value == 0 && !anyPort)
    *problem = "port 0 is no port to connect to or be scraped at";
  else
    return true;
  return false;
}

// "[IPV6]" or "[IPV6]:PORT"; the brackets' content becomes the host.
bool SplitBracketed(const std::string& text, HostPort* parts, std::string* problem, bool* portGiven) {
  const size_t close = text.find(']');
  if (close == std::string::npos) {
    *problem = "the '[' of the IPv6 address is not closed by ']'";
    return false;
  }
  parts->host = text.substr(1, close - 1);
  if (parts->host.find(':') == std::string::npos) {
    *problem = "brackets hold an IPv6 address, and this has no ':'";
    return false;
  }
  *portGiven = close + 1 < text.size();
  if (*portGiven && text[close + 1] != ':') {
    *problem = "after the IPv6 address's ']' comes ':PORT' or nothing";
    return false;
  }
  if (*portGiven) parts->port = text.substr(close + 2);
  return true;
}

bool SplitPlain(const std::string& text, HostPort* parts, std::string* problem, bool* portGiven) {
  const size_t colon = text.find(':');
  if (colon != std::string::npos && text.find(':', colon + 1) != std::string::npos) {
    *problem = "an IPv6 address goes in brackets, as in [::1]:502";
    return false;
  }
  if (text.find_first_of("[]") != std::string::npos) {
    *problem = "a '[' or ']' stands only around an IPv6 address";
    return false;
  }
  *portGiven = colon != std::string::npos;
  parts->host = text.substr(0, colon);
  if (*portGiven) parts->port = text.substr(colon + 1);
  return true;
}
}  // namespace

bool ParseHostPort(const std::string& text, HostPort* parts, std::string* problem, const std::string& defaultPort,
                   bool anyPort) {
  *parts = {};
  bool portGiven = false;
  const bool split = !text.empty() && text.front() == '[' ? SplitBracketed(text, parts, problem, &portGiven)
                                                          : SplitPlain(text, parts, problem, &portGiven);
  if (!split) return false;
  if (parts->host.empty()) {
    *problem = "the host is empty";
    return false;
  }
  if (!portGiven && defaultPort.empty()) {
    *problem = "the port is missing (HOST:PORT)";
    return false;
  }
  if (!portGiven) parts->port = defaultPort;
  return CheckPort(parts->port, anyPort, problem);
}

bool SplitHostPort(const std::string& text, std::string* host, std::string* port) {
  HostPort parts;
  std::string problem;
  if (!ParseHostPort(text, &parts, &problem, "", true)) return false;
  *host = parts.host;
  *port = parts.port;
  return true;
}

std::string JoinHostPort(const std::string& host, const std::string& port) {
  return (host.find(':') == std::string::npos ? host : "[" + host + "]") + ":" + port;
}

bool IsLoopbackHost(const std::string& host) {
  std::string lower = host;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  if (lower == "localhost" || lower.ends_with(".localhost")) return true;
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}
