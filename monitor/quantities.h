#pragma once
// What each reading of the poll is, for the systems the monitor feeds: its
// Prometheus family and phase, its Home Assistant class and unit. One table,
// keyed by the reading's read --json key.

#include <string>

enum class MetricType { Gauge, Counter };

// A Prometheus family: base units after Prometheus's conventions (watts,
// volt-amperes, joules), so the meter's kilo-units are scaled. A family
// holds either one total (or average) a meter or its phases, never both.
struct MetricFamily {
  const char* name;
  MetricType type;
  const char* help;
};

struct Quantity {
  const char* key;          // the register label, as read --json and the state name it
  int family;               // index into kMetricFamilies
  const char* phase;        // label value: A, B, C, AB, BC, AC; nullptr for a total or average
  double metricScale;       // the meter's unit to the family's
  const char* deviceClass;  // Home Assistant sensor device_class
  const char* unit;         // Home Assistant unit_of_measurement, "" for none
  double unitScale;         // the meter's unit to unit
};

extern const MetricFamily kMetricFamilies[];
extern const int kMetricFamilyCount;
extern const Quantity kQuantities[];
extern const int kQuantityCount;

// The quantity of a reading's key, nullptr for one the table lacks.
const Quantity* QuantityOfKey(const std::string& key);
// kWh only: the meter's energy counter only grows (a reset aside, which both
// Prometheus and Home Assistant take as a counter reset).
bool IsCounter(const Quantity& quantity);
