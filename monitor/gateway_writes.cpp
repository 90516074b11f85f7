#include "monitor/gateway_writes.h"

#include <cstdio>

#include "meter/register_map.h"

WriteClass WriteClassOf(int address, int value) {
  if (address >= reg::kClock && address < reg::kClock + 3) return WriteClass::Clock;
  if (address == reg::kCommand && value == reg::kCommandResetEnergy) return WriteClass::EnergyReset;
  if (address == reg::kSlotSelector) return WriteClass::SlotSelection;
  if (address == reg::kCommand || address == reg::kSubInterval || address == reg::kLogControl ||
      (address >= reg::kLogSlots && address < reg::kLogSlots + reg::kSlotCount))
    return WriteClass::LoggingSetup;
  return WriteClass::Other;
}

const char* WriteClassName(WriteClass kind) {
  static const char* const kNames[kWriteClasses] = {"clock", "energy_reset", "logging_setup", "slot_selection",
                                                    "other"};
  return kNames[static_cast<int>(kind)];
}

std::string WriteText(const std::string& client, int unit, int address, int value) {
  static const char* const kWords[kWriteClasses] = {"clock", "energy reset", "logging setup", "slot selection",
                                                    "other"};
  char meter[8];
  std::snprintf(meter, sizeof meter, "%02d", unit);
  return client + " wrote " + std::to_string(value) + " to register " + std::to_string(address) + " of meter " + meter +
         " (" + kWords[static_cast<int>(WriteClassOf(address, value))] + ")";
}
