#include "bus/scan.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "modbus/model.h"

namespace {
// A short pause before each address keeps the bus quiet between two
// identification requests and lets the window repaint its progress line.
constexpr auto kPausePerAddress = std::chrono::milliseconds(10);

std::string ProgressLine(unsigned address, unsigned end) {
  char line[64];
  // The end is shown as the console's signed field would show it: a typed -1
  // appears as -1, not as 4294967295.
  std::snprintf(line, sizeof line, "Searching: %d of %d", static_cast<int>(address), static_cast<int>(end));
  return line;
}
}  // namespace

ModbusResult IdentifyMeter(ModbusLink& link, int address, Meter& meter) {
  int slaveId = 0;
  char text[kSlaveIdTextSize] = {};
  const ModbusResult result = link.ReportSlaveId(address, &slaveId, text);
  if (result != ResultOk) return result;
  meter.address = address;
  meter.model = ModelCodeFromText(text);
  meter.identification = text;
  return ResultOk;
}

int ScanBus(ModbusLink& link, unsigned start, unsigned end, ScanSink& sink, Meter& first) {
  const unsigned last = std::min(end, kLastScanAddress);
  int found = 0;
  for (unsigned address = start; address <= last && !sink.Cancelled(); ++address) {
    sink.Progress(ProgressLine(address, end));
    std::this_thread::sleep_for(kPausePerAddress);
    Meter meter;
    if (IdentifyMeter(link, static_cast<int>(address), meter) == ResultOk) {
      const bool isFirst = found == 0;
      if (isFirst) first = meter;
      ++found;
      sink.MeterFound(meter, isFirst);
    }
    sink.AddressDone();
    if (found > 0 && sink.StopAtFirstMeter()) break;
  }
  return found;
}
