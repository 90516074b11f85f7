#pragma once
// The ticks of the charts' axes, on round steps a reader takes in at a
// glance: values at 1, 2 or 5 x 10^n, times on whole seconds, minutes, hours
// or days of the local clock. Qt-free, so a table of ranges pins them.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The range of a value axis for values from low to high: a twentieth of it
// more either side, so no line runs along the chart's edge, but never below
// zero when no value is (a counter, a voltage); a single value gets a
// twentieth of itself (at least 0.5) either side; [0, 1] without values.
// A range narrower than leastSpan is widened to it around the values' middle
// (pushed up to start at zero rather than reach below it).
std::pair<double, double> PaddedRange(double low, double high, double leastSpan = 0);

// The trend's value axis: the values shown with a twentieth of their range
// either side (none for a single value), widened to at least leastSpan (the
// unit's) around their middle, so a steady kWh count fills the chart at its
// own scale rather than lying flat on one from zero.
std::pair<double, double> FittedRange(double low, double high, double leastSpan);

// The time axis of a span longer than what was kept starts where the data
// does, and this says so: "8 min kept so far: more will fill the last 6
// hours" (the kept time rounded down to whole seconds, minutes or hours);
// empty when the data fills the span.
std::string KeptSpanNote(int64_t keptMs, int64_t spanMs, const std::string& spanName);

struct ValueTicks {
  double step = 0;
  int decimals = 0;  // what the step needs: 0 for 5, 1 for 0.5, 2 for 0.02
  std::vector<double> values;
};
// The ticks within [low, high] on the smallest round step that puts at most
// maxTicks of them there (at least 2 are asked for); none for an empty or
// non-finite range.
ValueTicks RoundValueTicks(double low, double high, int maxTicks);
// A tick as its axis writes it: "230", "0.95", "-1.5", never "-0".
std::string ValueTickText(double value, int decimals);

struct TimeTick {
  int64_t seconds = 0;  // since 1970, UTC
  std::string label;    // local time: "14:30", "14:30:15", "07 Dec", "00:00\n08 Dec"
};
// When times name their date: only across midnight (a trend of the last
// minutes is today's), or always (a plot zoomed into some day of a file).
enum class TimeDates { AcrossMidnight, Always };
// The ticks within [fromSeconds, toSeconds] on the smallest whole step of the
// local clock (1 s up to 4 weeks) that puts at most maxTicks of them there.
// Steps under a day are labelled with the time ("hh:mm", "hh:mm:ss" under a
// minute) and, when the span crosses midnight or dates says always, the date
// below the first tick and below each tick of a new day; longer steps with
// the date alone ("07 Dec"; weeks start on Mondays). Across a change of
// daylight saving time the ticks stay on the local clock's whole steps.
std::vector<TimeTick> RoundTimeTicks(double fromSeconds, double toSeconds, int maxTicks,
                                     TimeDates dates = TimeDates::AcrossMidnight);
