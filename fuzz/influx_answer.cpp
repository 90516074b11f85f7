// An answer from whatever listens at an InfluxDB address, read as the store
// reads a query's or a write's: any bytes give an error text or none, points
// or a refusal, a cursor or a refusal, and never an exception.

#include <cstdint>
#include <string>

#include "archive/influx_answer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  (void)InfluxError(body);
  ArchivedPoints points;
  if (!ReadInfluxPoints(body, points) && !points.empty()) __builtin_trap();
  std::optional<InfluxCursor> cursor;
  if (!ReadInfluxCursor(body, cursor) && cursor) __builtin_trap();
  return 0;
}
