#pragma once
// qm4sim's command line.

#include <string>
#include <vector>

#include "modbus/gateway.h"
#include "sim/faults.h"
#include "sim/sim_meter.h"

struct FaultOption {
  int address = 0;
  Fault fault;
};

struct DriftOption {
  int address = 0;
  long secondsPerMinute = 0;
};

struct SimOptions {
  std::string link;
  // --tcp or --mbtcp HOST:PORT: the bus served as a gateway there instead of
  // on a pseudo terminal.
  Transport gateway = Transport::Serial;
  std::string gatewayAddress;
  std::vector<MeterSetup> meters;  // 3:QM4C when none is given
  int baud = 0;                    // 0: answers go out unpaced
  int turnaroundMs = -1;           // -1: 5 ms when paced, else 0
  bool echo = false;               // hand back every byte heard, as a two-wire adapter without echo suppression
  long prefill = 0;
  int subInterval = 900;
  bool staticValues = false;
  bool sequenceLog = false;
  uint32_t seed = 1;
  std::vector<FaultOption> faults;
  std::vector<DriftOption> drifts;
  std::string randomFaults;  // RandomFaults::Parse's text; empty: none
  uint32_t faultSeed = 1;
  std::string journal;  // where to journal every request; empty: nowhere
  bool help = false;
  bool version = false;
};

// Fills *options from argv; returns "" or the reason the line is refused.
std::string ParseOptions(int argc, const char* const* argv, SimOptions* options);

extern const char kHelpText[];
