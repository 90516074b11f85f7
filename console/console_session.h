#pragma once
// What the console's windows share while the program runs: the one link the
// console opens, the meter it picked and its poll, and what the logging
// window keeps. Made by the program shell and handed to the console, which
// hands it on to the trace and logging windows. User-interface thread only.

#include "logging/logging_session.h"
#include "meter/meter.h"
#include "meter/meter_state.h"
#include "modbus/link.h"
#include "util/stop_token.h"

struct ConsoleSession {
  explicit ConsoleSession(StopToken& stop) : logging(link, pickedMeter, pollState, stop) {}
  ConsoleSession(const ConsoleSession&) = delete;
  ConsoleSession& operator=(const ConsoleSession&) = delete;

  PortMap ports;                          // --port: what COMn names resolve through
  ModbusLink link{LinkSettings{}, &ports};  // the port the console opens
  Meter pickedMeter;                      // the meter the console shows; address -1 for none
  PollState pollState;                    // the console's poll and its counters
  PhaseOffsets phaseOffset = kRowTotals;  // the register each phase row shows
  LoggingSession logging;                 // logSlots, logControl, busy windows, the quit
  bool consoleStarted = false;            // the terms were accepted and the poll timer set up
};
