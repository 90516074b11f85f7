#pragma once
// HOST:PORT, the one way every network address is written: a gateway
// (tcp://HOST:PORT, mbtcp://HOST:PORT, qm4sim --tcp), the MQTT broker
// (mqtt://HOST[:PORT]) and the /metrics listener (--prometheus HOST:PORT).

#include <string>

struct HostPort {
  std::string host;  // an IPv6 address without its brackets
  std::string port;  // decimal digits, as given, or the default
};

// HOST is a name, an IPv4 address, or an IPv6 address in brackets
// ("[::1]:502", "[fe80::1%eth0]:502"): without brackets "::1:80" could be
// ::1 port 80 or the address ::1:80, so more than one colon is refused.
// PORT is 1 to 65535; 0 too with anyPort (a server asked for any free port).
// With a defaultPort, ":PORT" may be left out ("broker", "[::1]").
// False with the reason in *problem ("the port is above 65535"), which
// never repeats the text: callers say which option it was.
bool ParseHostPort(const std::string& text, HostPort* parts, std::string* problem,
                   const std::string& defaultPort = "", bool anyPort = false);

// ParseHostPort with port 0 taken (qm4sim's --tcp 127.0.0.1:0) and no
// default.
bool SplitHostPort(const std::string& text, std::string* host, std::string* port);

// host and port as HOST:PORT again, an IPv6 host in brackets.
std::string JoinHostPort(const std::string& host, const std::string& port);

// A host that is this machine whatever the machine: localhost, 127.0.0.0/8
// or ::1. Two machines that name such an address mean two things.
bool IsLoopbackHost(const std::string& host);
