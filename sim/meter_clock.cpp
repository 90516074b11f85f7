#include "sim/meter_clock.h"

#include <cmath>

#include "meter/register_map.h"

MeterClock::MeterClock(double now) {
  const time_t pcTime = time(nullptr);
  struct tm local {};
  localtime_r(&pcTime, &local);
  Set(local, now);
}

void MeterClock::Set(const struct tm& fields, double now) {
  base_ = {};
  base_.tm_year = fields.tm_year;
  base_.tm_mon = fields.tm_mon;
  base_.tm_mday = fields.tm_mday;
  base_.tm_hour = fields.tm_hour;
  base_.tm_min = fields.tm_min;
  base_.tm_sec = fields.tm_sec;
  baseSteady_ = now;
}

// Moves whole elapsed seconds into the base fields without normalising the
// others, so a following part write changes only its own fields.
void MeterClock::Rebase(double now) {
  const double whole = std::floor((now - baseSteady_) * rate_);
  if (whole <= 0) return;
  struct tm normal = base_;
  const int64_t seconds = static_cast<int64_t>(timegm(&normal)) + static_cast<int64_t>(whole);
  const time_t t = static_cast<time_t>(seconds);
  struct tm moved {};
  gmtime_r(&t, &moved);
  // Keep an unnormalised day (29 February of a common year) as it was
  // written when no second carried into the date.
  if (moved.tm_year == normal.tm_year && moved.tm_yday == normal.tm_yday) {
    moved.tm_mday = base_.tm_mday;
    moved.tm_mon = base_.tm_mon;
    moved.tm_year = base_.tm_year;
  }
  base_ = moved;
  baseSteady_ += whole / rate_;
}

void MeterClock::SetDrift(double secondsPerMinute, double now) {
  Rebase(now);
  rate_ = 1 + secondsPerMinute / 60;
}

bool MeterClock::WritePart(int index, uint16_t value, double now) {
  const int low = value & 0xFF;
  const int high = value >> 8;
  Rebase(now);
  switch (index) {
    case 0:  // high byte day of month, low byte month
      if (low < 1 || low > 12 || high < 1 || high > 31) return false;
      base_.tm_mon = low - 1;
      base_.tm_mday = high;
      return true;
    case 1:  // high byte hour, low byte year - 2000
      if (high > 23) return false;
      base_.tm_hour = high;
      base_.tm_year = low + 100;
      return true;
    case 2:  // high byte second, low byte minute
      if (high > 59 || low > 59) return false;
      base_.tm_sec = high;
      base_.tm_min = low;
      baseSteady_ = now;  // the second starts now
      return true;
    default:
      return false;
  }
}

int64_t MeterClock::CalendarSeconds(double now) const {
  struct tm normal = base_;
  return static_cast<int64_t>(timegm(&normal)) + static_cast<int64_t>(std::floor((now - baseSteady_) * rate_));
}

void PackCalendarSeconds(int64_t seconds, uint16_t registers[3]) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm fields {};
  gmtime_r(&t, &fields);
  int packed[3];
  PackMeterTime(fields, packed);
  for (int i = 0; i < 3; ++i) registers[i] = static_cast<uint16_t>(packed[i]);
}
