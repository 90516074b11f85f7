#include "console/scan.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "meter/meter_state.h"
#include "modbus/master.h"
#include "modbus/model.h"
#include "modbus/serial_link.h"

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

std::string DeviceEntry(unsigned address, const char* text) {
  char entry[16 + kSlaveIdTextSize];
  std::snprintf(entry, sizeof entry, "%02d - %s", static_cast<int>(address), text);
  return entry;
}
}  // namespace

int ScanBus(unsigned start, unsigned end, ScanSink& sink) {
  const unsigned last = std::min(end, kLastScanAddress);
  int found = 0;
  for (unsigned address = start; address <= last; ++address) {
    sink.Progress(ProgressLine(address, end));
    std::this_thread::sleep_for(kPausePerAddress);
    int slaveId = 0;
    char text[kSlaveIdTextSize] = {};
    if (ReportSlaveId(g_port, static_cast<int>(address), &slaveId, text) == ResultOk) {
      const std::string entry = DeviceEntry(address, text);
      const bool first = found == 0;
      if (first) {
        g_slaveAddress = static_cast<int>(address);
        g_modelCode = ModelCodeFromText(entry.c_str());
      }
      ++found;
      sink.MeterFound(entry, first);
    }
    sink.AddressDone();
  }
  return found;
}
