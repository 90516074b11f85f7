#pragma once
// A meter on a bus, as the poll, the scan, the commands and the logging
// operations are told which one they talk to beside the link it is on, and
// what polls of it keep.

#include <cstdint>

#include "modbus/model.h"
#include "modbus/result.h"

struct Meter {
  int address = -1;       // -1 for none
  int model = ModelNone;  // ModelNone, ModelQM4A, ModelQM4B or ModelQM4C
};

// What polls keep: the console's one across all its ticks, the monitor's
// and pylaxctl's one for each poll. ok and bad count by the console's
// rules: a read that succeeded is good, one that failed is bad, but for the
// clock block's, which ends the tick uncounted; lastResult is the last
// failure counted. byResult counts every transaction by its result, the
// clock block's too.
struct PollState {
  bool suspended = false;  // nothing is sent while set (the logging window runs)
  int ok = 0;
  int bad = 0;
  ModbusResult lastResult = ResultOk;
  int16_t subIntervalSeconds = 0;  // register 149 as the last clock block read it
  unsigned long byResult[kResultCount] = {};
};
