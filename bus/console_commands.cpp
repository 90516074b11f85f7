#include "bus/console_commands.h"

#include <cstdio>

#include "meter/reading_format.h"
#include "modbus/model.h"

ModelFeatures FeaturesOf(int model) {
  switch (model) {
    case ModelQM4A:
      return {false, false};
    case ModelQM4B:
      return {true, false};
    default:
      return {};
  }
}

std::string SetClockRefusal(int model) {
  if (FeaturesOf(model).clockAndLog) return std::string();
  return std::string("Set Clock needs a QM4C: a ") + ModelName(model) + " has no clock.";
}

std::string LoggingRefusal(int model) {
  if (FeaturesOf(model).clockAndLog) return std::string();
  return std::string("Logging Setup and Download needs a QM4C: a ") + ModelName(model) + " keeps no log.";
}

std::string ResetKwhQuestion(const Meter& meter, std::optional<double> kwh) {
  char address[16];
  std::snprintf(address, sizeof address, "%02d", meter.address);
  std::string question = std::string("Reset the kWh of meter ") + address + " (" + ModelName(meter.model) + ")";
  if (kwh) question += ", now " + GroupedNumber(*kwh, 1) + " kWh,";
  return question + " to 0? This cannot be undone.";
}
