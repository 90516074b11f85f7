#include "meter/meter.h"

#include <cstdio>

std::string DeviceLine(const Meter& meter) {
  char prefix[16];
  std::snprintf(prefix, sizeof prefix, "%02d - ", meter.address);
  return prefix + meter.identification;
}

std::string MeterId(const Meter& meter) { return meter.busId + "_" + std::to_string(meter.address); }

bool SelectableAddress(int address) {
  constexpr int kFirstSelectableAddress = 1;
  constexpr int kLastSelectableAddress = 63;
  return address >= kFirstSelectableAddress && address <= kLastSelectableAddress;
}
