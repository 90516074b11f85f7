#include "monitor/quantities.h"

#include <iterator>

// Home Assistant takes kW and kWh as the meter gives them (kWh straight into
// its energy dashboard); its reactive and apparent power classes have long
// accepted only var and VA, so those two are scaled.
const MetricFamily kMetricFamilies[] = {
    {"pylax_energy_joules_total", MetricType::Counter, "Active energy the meter has counted (its kWh x 3.6e6)."},
    {"pylax_power_watts", MetricType::Gauge, "Active power."},
    {"pylax_reactive_power_volt_amperes_reactive", MetricType::Gauge, "Reactive power."},
    {"pylax_apparent_power_volt_amperes", MetricType::Gauge, "Apparent power."},
    {"pylax_power_factor_ratio", MetricType::Gauge, "Power factor."},
    {"pylax_line_voltage_volts", MetricType::Gauge, "Voltage line to line (phase all: the average)."},
    {"pylax_phase_voltage_volts", MetricType::Gauge, "Voltage line to neutral (phase all: the average)."},
    {"pylax_current_amperes", MetricType::Gauge, "Current (phase all: the average)."},
};
const int kMetricFamilyCount = static_cast<int>(std::size(kMetricFamilies));

namespace {
enum Family { Energy, Power, Reactive, Apparent, Factor, LineVolts, PhaseVolts, Current };
constexpr double kKilo = 1000;
constexpr double kJoulesPerKwh = 3.6e6;
}  // namespace

const Quantity kQuantities[] = {
    {"KWH", Energy, "all", kJoulesPerKwh, "energy", "kWh", 1},
    {"KW", Power, "all", kKilo, "power", "kW", 1},
    {"KVAR", Reactive, "all", kKilo, "reactive_power", "var", kKilo},
    {"KVA", Apparent, "all", kKilo, "apparent_power", "VA", kKilo},
    {"PF", Factor, "all", 1, "power_factor", "", 1},
    {"VLL", LineVolts, "all", 1, "voltage", "V", 1},
    {"VLN", PhaseVolts, "all", 1, "voltage", "V", 1},
    {"AMPS-AVG", Current, "all", 1, "current", "A", 1},
    {"KW-A", Power, "A", kKilo, "power", "kW", 1},
    {"KW-B", Power, "B", kKilo, "power", "kW", 1},
    {"KW-C", Power, "C", kKilo, "power", "kW", 1},
    {"PF-A", Factor, "A", 1, "power_factor", "", 1},
    {"PF-B", Factor, "B", 1, "power_factor", "", 1},
    {"PF-C", Factor, "C", 1, "power_factor", "", 1},
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
