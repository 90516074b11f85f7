#pragma once
// Readers of InfluxDB's answers. Whatever answers at the address, however
// odd, gives a result or a refusal, never an exception: an answer that does
// not read as expected is a failed query or write.

#include <ctime>
#include <map>
#include <optional>
#include <string>

#include "archive/archive.h"

// The server's own words of why it refused: the body's "error", else the
// first result's; "" when it names none. An error that is no text is shown
// as the JSON it is.
std::string InfluxError(const std::string& body);

// What the archive holds of one point: its field's name and number. Points
// are compared as the floats they were written from (3.61 is no double of
// the float 3.61f).
struct PointValue {
  std::string field;
  double number = 0;
  bool operator==(const PointValue& other) const {
    return field == other.field && static_cast<float>(number) == static_cast<float>(other.number);
  }
};
// By instant and register number.
using ArchivedPoints = std::map<time_t, std::map<unsigned, PointValue>>;

// The points a query of time, register and the fields value, error and raw
// answered (an empty body: none); false when it does not read as such.
bool ReadInfluxPoints(const std::string& body, ArchivedPoints& points);

// A meter's sync cursor as pylax_log_sync keeps it.
struct InfluxCursor {
  SyncCursor cursor;
  long conflicts = 0;
  time_t archivedNewest = 0;
};
// The cursor a query answered, none when it found no series; false when
// the answer does not read as a pylax cursor.
bool ReadInfluxCursor(const std::string& body, std::optional<InfluxCursor>& cursor);
