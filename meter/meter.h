#pragma once
// A meter on a bus, one identity from the scan to the archive: the poll, the
// commands and the logging operations are told which one they talk to beside
// the link it is on. And what polls of it keep.

#include <cstdint>
#include <string>

#include "modbus/model.h"
#include "modbus/result.h"

struct Meter {
  int address = -1;            // -1 for none
  int model = ModelNone;       // ModelNone, ModelQM4A, ModelQM4B or ModelQM4C
  std::string identification;  // its own text, as it identified itself ("Orvant QM4C Power Meter")
  std::string busId;           // its bus's name where meters of many buses meet (monitor, archive): "COM1"
  bool operator==(const Meter&) const = default;
};

// "%02d - %s": the address and the meter's own text, as the scan lists it.
std::string DeviceLine(const Meter& meter);
// BUS_ADDRESS, e.g. "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0_3": the
// name that MQTT topics, metric labels and archives give the meter.
std::string MeterId(const Meter& meter);
// The addresses a meter can be set to; the console picks none outside them
// (the scan itself takes whatever address answered).
bool SelectableAddress(int address);

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
