#pragma once
// The device scan: asks each address of a range to identify itself.

#include <string>

#include "meter/meter.h"
#include "modbus/link.h"
#include "modbus/result.h"

// What the scan tells its caller while it runs. The window repaints on each
// call; pylaxctl prints.
class ScanSink {
 public:
  virtual ~ScanSink() = default;
  // "Searching: %d of %d", before the address is asked (after it the scan
  // waits 10 ms).
  virtual void Progress(const std::string& line) = 0;
  // A meter that answered (shown as its DeviceLine). For the first one of
  // the scan, the scan's first meter is already set when this is called.
  virtual void MeterFound(const Meter& meter, bool first) = 0;
  // After each address, whatever its outcome.
  virtual void AddressDone() {}
  // The window lists every meter of its range; a caller that needs only one
  // meter ends the scan at the first, sparing the empty addresses after it
  // (at 38400 baud each costs the 700 ms an unanswered identification waits).
  virtual bool StopAtFirstMeter() const { return false; }
  // Asked before each address: true ends the scan there (the monitor, asked
  // to end, does not wait out a long range).
  virtual bool Cancelled() const { return false; }
};

// The last address the scan asks, whatever the end value: nothing above it
// can be identified, and an end typed as a negative number becomes a huge
// unsigned value that must not keep the scan going.
constexpr unsigned kLastScanAddress = 255;

// Asks address, over link, to identify itself; on ResultOk, meter is the
// meter there: the address, its own text and the model that text names
// (its bus id is left as it was).
ModbusResult IdentifyMeter(ModbusLink& link, int address, Meter& meter);

// Asks start..end over link (none when start > end), or up to the first
// meter when the sink stops there, and returns how many answered.
// Sets first to the first meter found; leaves it as it was when none
// answers.
int ScanBus(ModbusLink& link, unsigned start, unsigned end, ScanSink& sink, Meter& first);
