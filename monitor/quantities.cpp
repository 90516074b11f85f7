#include "monitor/quantities.h"

#include <iterator>

// A total or an average has a family of its own, apart from its phases, so
// that sum() and avg() over a family's phase label mean what they say (the
// three phases' power add up to the total; the total is no fourth phase).
const MetricFamily kMetricFamilies[] = {
    {"pylax_energy_joules_total", MetricType::Counter, "Active energy the meter has counted (its kWh x 3.6e6)."},
    {"pylax_power_watts", MetricType::Gauge, "Active power, three phases together."},
    {"pylax_phase_power_watts", MetricType::Gauge, "Active power of each phase."},
    {"pylax_reactive_power_volt_amperes_reactive", MetricType::Gauge, "Reactive power, three phases together."},
    {"pylax_apparent_power_volt_amperes", MetricType::Gauge, "Apparent power, three phases together."},
    {"pylax_power_factor_ratio", MetricType::Gauge, "Power factor, three phases together."},
    {"pylax_phase_power_factor_ratio", MetricType::Gauge, "Power factor of each phase."},
    {"pylax_line_voltage_average_volts", MetricType::Gauge, "Voltage line to line, the average of the three."},
    {"pylax_line_voltage_volts", MetricType::Gauge, "Voltage line to line of each pair of phases."},
    {"pylax_phase_voltage_average_volts", MetricType::Gauge, "Voltage line to neutral, the average of the three."},
    {"pylax_phase_voltage_volts", MetricType::Gauge, "Voltage line to neutral of each phase."},
    {"pylax_current_average_amperes", MetricType::Gauge, "Current, the average of the three phases."},
    {"pylax_current_amperes", MetricType::Gauge, "Current of each phase."},
};
const int kMetricFamilyCount = static_cast<int>(std::size(kMetricFamilies));

namespace {
enum Family {
  Energy,
  Power,
  PhasePower,
  Reactive,
  Apparent,
  Factor,
  PhaseFactor,
  LineVoltsAverage,
  LineVolts,
  PhaseVoltsAverage,
  PhaseVolts,
  CurrentAverage,
  Current,
};
constexpr double kKilo = 1000;
constexpr double kJoulesPerKwh = 3.6e6;
}  // namespace

// Home Assistant takes kW and kWh as the meter gives them (kWh straight into
// its energy dashboard); its reactive and apparent power classes have long
// accepted only var and VA, so those two are scaled.
const Quantity kQuantities[] = {
    {"KWH", Energy, nullptr, kJoulesPerKwh, "energy", "kWh", 1},
    {"KW", Power, nullptr, kKilo, "power", "kW", 1},
    {"KVAR", Reactive, nullptr, kKilo, "reactive_power", "var", kKilo},
    {"KVA", Apparent, nullptr, kKilo, "apparent_power", "VA", kKilo},
    {"PF", Factor, nullptr, 1, "power_factor", "", 1},
    {"VLL", LineVoltsAverage, nullptr, 1, "voltage", "V", 1},
    {"VLN", PhaseVoltsAverage, nullptr, 1, "voltage", "V", 1},
    {"AMPS-AVG", CurrentAverage, nullptr, 1, "current", "A", 1},
    {"KW-A", PhasePower, "A", kKilo, "power", "kW", 1},
    {"KW-B", PhasePower, "B", kKilo, "power", "kW", 1},
    {"KW-C", PhasePower, "C", kKilo, "power", "kW", 1},
    {"PF-A", PhaseFactor, "A", 1, "power_factor", "", 1},
    {"PF-B", PhaseFactor, "B", 1, "power_factor", "", 1},
    {"PF-C", PhaseFactor, "C", 1, "power_factor", "", 1},
    {"V-AB", LineVolts, "AB", 1, "voltage", "V", 1},
    {"V-BC", LineVolts, "BC", 1, "voltage", "V", 1},
    {"V-AC", LineVolts, "AC", 1, "voltage", "V", 1},
    {"V-AN", PhaseVolts, "A", 1, "voltage", "V", 1},
    {"V-BN", PhaseVolts, "B", 1, "voltage", "V", 1},
    {"V-CN", PhaseVolts, "C", 1, "voltage", "V", 1},
    {"AMPS-A", Current, "A", 1, "current", "A", 1},
    {"AMPS-B", Current, "B", 1, "current", "A", 1},
    {"AMPS-C", Current, "C", 1, "current", "A", 1},
};
const int kQuantityCount = static_cast<int>(std::size(kQuantities));

const Quantity* QuantityOfKey(const std::string& key) {
  for (const Quantity& quantity : kQuantities)
    if (key == quantity.key) return &quantity;
  return nullptr;
}

bool IsCounter(const Quantity& quantity) { return kMetricFamilies[quantity.family].type == MetricType::Counter; }
