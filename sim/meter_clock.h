#pragma once
// The meter's own calendar clock. It starts at the PC's local time and runs
// on the monotonic time the simulator passes in; the master sets it one
// register at a time (addresses 154, 155, 156).

#include <cstdint>
#include <ctime>

class MeterClock {
 public:
  explicit MeterClock(double now);

  // Full setting from the control channel. fields: tm_year since 1900,
  // tm_mon 0..11 as the C library has them.
  void Set(const struct tm& fields, double now);
  // A write to register index 0 (day/month), 1 (hour/year) or 2
  // (second/minute); false when a field is out of range (the clock is then
  // unchanged).
  bool WritePart(int index, uint16_t value, double now);

  // The clock jumps the given seconds ahead.
  void Skip(int64_t seconds) { baseSteady_ -= static_cast<double>(seconds) / rate_; }
  // From now on the clock gains secondsPerMinute a minute (loses, when
  // negative), as a meter's crystal does, so that clock keeping can be tried.
  void SetDrift(double secondsPerMinute, double now);

  // The meter's wall time as seconds of a calendar without time zone
  // (counted as if it were UTC), so that no daylight-saving jump ever
  // changes what the meter shows.
  int64_t CalendarSeconds(double now) const;

 private:
  void Rebase(double now);

  // Fields as last set, not normalised: a day/month write of 29 February
  // before the year write of a leap year must survive until the year comes.
  struct tm base_ {};
  double baseSteady_ = 0;
  double rate_ = 1;  // meter seconds per monotonic second
};

// The three register values of a meter timestamp for calendar seconds.
void PackCalendarSeconds(int64_t seconds, uint16_t registers[3]);
