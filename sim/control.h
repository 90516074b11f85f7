#pragma once
// The control channel: one command a line on stdin, one reply line ("ok",
// "ok VALUE", "err TEXT") on stdout. The commands are listed in the help
// text (options.cpp).

#include <optional>
#include <string>
#include <string_view>

#include "sim/line_output.h"
#include "sim/sim_bus.h"
#include "sim/tcp_server.h"

struct ControlResult {
  std::string reply;
  bool quit = false;
};

// gateway: the one the simulator serves as, null on a serial line.
ControlResult ExecuteControl(SimBus& bus, LineOutput& line, SimGateway* gateway, std::string_view command,
                             double now);

// Decimal (optionally signed) or 0x hexadecimal, within [low, high].
std::optional<long> ParseNumber(std::string_view text, long low, long high);
