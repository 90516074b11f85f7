#include "archive/archive.h"

#include <algorithm>

bool LogRunShape::operator==(const LogRunShape& other) const {
  return timeStep == other.timeStep && std::equal(std::begin(slots), std::end(slots), std::begin(other.slots));
}

bool ArchiveEntry::SameAs(const ArchiveEntry& other) const {
  return time == other.time && std::equal(std::begin(raw), std::end(raw), std::begin(other.raw));
}
