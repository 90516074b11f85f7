#pragma once
// What the timing programs share: the simulated bus they measure against.

#include <cstdio>
#include <string>
#include <vector>

#include "modbus/serial_link.h"
#include "sim/sim_launcher.h"

// Starts qm4sim (the built one, at path) with args and opens its line at
// baud. False, with the reason on stderr, when either fails.
inline bool StartAndOpenSim(SimLauncher& sim, const std::vector<std::string>& args, int baud, const char* path) {
  std::string error;
  if (!sim.Start(args, &error, path)) {
    std::fprintf(stderr, "qm4sim: %s\n", error.c_str());
    return false;
  }
  if (!OpenPort(sim.LinkPath().c_str(), baud)) {
    std::fprintf(stderr, "Unable to open %s: %s\n", sim.LinkPath().c_str(), PortOpenFailureText().c_str());
    return false;
  }
  return true;
}
