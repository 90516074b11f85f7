// The polled counters in InfluxDB: one point a reading, beside the log's.

#include <cstdio>

#include "archive/influx_store.h"
#include "modbus/model.h"

namespace {
std::string Field(const char* name, double value) {
  char text[48];
  std::snprintf(text, sizeof text, "%s=%.17g", name, value);
  return text;
}
}  // namespace

std::string InfluxReadingLine(const Meter& meter, const PolledReading& reading) {
  std::string fields = Field("kwh", reading.kwh);
  if (reading.kvah) fields += "," + Field("kvah", *reading.kvah);
  if (reading.kvarh) fields += "," + Field("kvarh", *reading.kvarh);
  fields += reading.afterGap ? ",after_gap=true" : ",after_gap=false";
  return std::string("pylax_readings") + TagPair("meter", MeterId(meter)) + TagPair("model", ModelName(meter.model)) +
         " " + fields + " " + std::to_string(static_cast<long long>(reading.time)) + "\n";
}

// A database that is not there yet is made, as the log's first sync makes it.
bool InfluxStore::AppendReadings(const Meter& meter, const std::vector<PolledReading>& readings, std::string* error) {
  std::string lines;
  for (const PolledReading& reading : readings) lines += InfluxReadingLine(meter, reading);
  if (lines.empty() || Write(lines, error)) return true;
  if (error->find("database not found") == std::string::npos) return false;
  return CreateDatabase(error) && Write(lines, error);
}
