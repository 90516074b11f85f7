#pragma once
// What the console offers for the picked meter's model, and the question it
// asks before an energy reset.

#include <optional>
#include <string>

#include "meter/meter.h"

// What a model has beyond energy and total power (a QM4A has neither), and
// a clock with a log (a QM4C only). No model picked: everything, greyed
// nothing.
struct ModelFeatures {
  bool phaseReadings = true;  // PF, voltages, current, and power by phase
  bool clockAndLog = true;
};
ModelFeatures FeaturesOf(int model);

// Why Set Clock and the logging button do nothing for model: "Set Clock
// needs a QM4C: a QM4B has no clock."; empty where they act.
std::string SetClockRefusal(int model);
std::string LoggingRefusal(int model);

// "Reset the kWh of meter 09 (QM4B), now 21,809.2 kWh, to 0? This cannot be
// undone.", without the "now" part while no reading is shown.
std::string ResetKwhQuestion(const Meter& meter, std::optional<double> kwh);
