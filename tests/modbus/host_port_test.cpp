// HOST:PORT as the gateways, the MQTT broker's URL and the /metrics
// listener take it: every form, and every way to get it wrong.

#include <gtest/gtest.h>

#include "modbus/host_port.h"

TEST(HostPort, SplitsEveryFormAndRefusesTheMalformedWithTheReason) {
  const struct {
    const char* text;
    const char* defaultPort;  // "": the port is required
    bool anyPort;
    const char* host;  // nullptr: refused
    const char* portOrProblem;
  } cases[] = {
      {"10.0.0.21:502", "", false, "10.0.0.21", "502"},
      {"gw-hall-b.site:4001", "", false, "gw-hall-b.site", "4001"},
      {"[::1]:502", "", false, "::1", "502"},
      {"[fe80::1%eth0]:65535", "", false, "fe80::1%eth0", "65535"},
      {"broker", "1883", false, "broker", "1883"},
      {"[::1]", "8883", false, "::1", "8883"},
      {"broker:1", "1883", false, "broker", "1"},
      {"127.0.0.1:0", "", true, "127.0.0.1", "0"},
      {"127.0.0.1:0", "", false, nullptr, "port 0 is no port to connect to or be scraped at"},
      {"[::1", "1883", false, nullptr, "the '[' of the IPv6 address is not closed by ']'"},
      {"[::1]502", "", false, nullptr, "after the IPv6 address's ']' comes ':PORT' or nothing"},
      {"[broker]:80", "", false, nullptr, "brackets hold an IPv6 address, and this has no ':'"},
      {"::1:80", "", false, nullptr, "an IPv6 address goes in brackets, as in [::1]:502"},
      {"::1", "1883", false, nullptr, "an IPv6 address goes in brackets, as in [::1]:502"},
      {"bro]ker:80", "", false, nullptr, "a '[' or ']' stands only around an IPv6 address"},
      {":502", "", false, nullptr, "the host is empty"},
      {"[]:502", "", false, nullptr, "brackets hold an IPv6 address, and this has no ':'"},
      {"", "1883", false, nullptr, "the host is empty"},
      {"broker:", "1883", false, nullptr, "the port is empty"},
      {"[::1]:", "", false, nullptr, "the port is empty"},
      {"broker", "", false, nullptr, "the port is missing (HOST:PORT)"},
      {"broker:65536", "", false, nullptr, "the port is above 65535"},
      {"broker:99999999999999999999", "", false, nullptr, "the port is above 65535"},
      {"broker:+80", "", false, nullptr, "the port is not a number"},
  };
  for (const auto& c : cases) {
    HostPort parts;
    std::string problem;
    const bool ok = ParseHostPort(c.text, &parts, &problem, c.defaultPort, c.anyPort);
    EXPECT_EQ(ok, c.host != nullptr) << c.text;
    EXPECT_EQ(ok ? parts.host + " " + parts.port : problem,
              c.host ? std::string(c.host) + " " + c.portOrProblem : c.portOrProblem)
        << c.text;
  }
}
