#pragma once
// What the logging window works with and keeps between its openings: the
// console's link, picked meter and poll, its own logging setup, and the
// program's stop, which a quit asks of a start or download under way.

#include "bus/logging_start.h"
#include "meter/meter.h"
#include "modbus/link.h"
#include "util/stop_token.h"

struct LoggingSession {
  LoggingSession(ModbusLink& link, const Meter& pickedMeter, const PollState& pollState, StopToken& stop)
      : link(link), pickedMeter(pickedMeter), pollState(pollState), stop(stop) {}
  LoggingSession(const LoggingSession&) = delete;
  LoggingSession& operator=(const LoggingSession&) = delete;

  ModbusLink& link;
  const Meter& pickedMeter;    // the meter the console shows
  const PollState& pollState;  // the console's poll: the sub-interval it last read
  StopToken& stop;             // the program's quit (SIGINT, SIGTERM)
  LogSetup logSetup;           // logSlots and logControl, kept between openings
  int busyWindows = 0;         // logging windows running a start or a download
};
