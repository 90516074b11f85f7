// The axes' ticks: round value steps over a table of ranges, and times on
// the local clock's whole steps, across both changes of daylight saving
// time and in a zone half an hour off UTC.

#include "charts/chart_ticks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>

TEST(ChartTicks, ValueRangesHaveAMarginButStayAtZeroForCounters) {
  struct Case {
    double low, high, bottom, top;
  };
  const double inf = INFINITY;
  const Case cases[] = {
      {0, 39686, 0, 41670.3},                  // an energy counter from zero: not to -1984.3
      {30000, 39686, 29515.7, 40170.3},
      {3, 103, 0, 108},                        // would reach -2
      {-93.28, 101.91, -103.0395, 111.6695},   // power both ways
      {230, 230, 218.5, 241.5},                // one value
      {0, 0, 0, 0.5},
      {-2, -2, -2.5, -1.5},
      {inf, -inf, 0, 1},                       // no values
      {NAN, NAN, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.low) + " .. " + std::to_string(c.high));
    const auto [bottom, top] = PaddedRange(c.low, c.high);
    EXPECT_NEAR(bottom, c.bottom, 1e-9);
    EXPECT_NEAR(top, c.top, 1e-9);
  }
}

TEST(ChartTicks, ValuesOnRoundStepsWithTheDecimalsTheStepNeeds) {
  struct Case {
    double low, high;
    int maxTicks;
    std::vector<std::string> texts;
  };
  const Case cases[] = {
      {9.7, 59.0, 6, {"10", "20", "30", "40", "50"}},
      {73.0, 90.7, 5, {"75", "80", "85", "90"}},
      {0.0, 39686.0, 5, {"0", "10000", "20000", "30000"}},                  // a counter from zero
      {-1.2, 0.3, 4, {"-1.0", "-0.5", "0.0"}},                               // never "-0.0"
      {0.912, 0.988, 5, {"0.92", "0.94", "0.96", "0.98"}},                   // power factor
      {59.95, 60.05, 5, {"59.95", "60.00", "60.05"}},                        // both ends are ticks
      {0.0, 1.0, 11, {"0.0", "0.1", "0.2", "0.3", "0.4", "0.5", "0.6", "0.7", "0.8", "0.9", "1.0"}},
      {218.5, 241.5, 5, {"220", "230", "240"}},                              // one row's 230 V, padded
      {0.0, 100.0, 2, {"0", "100"}},
      {-0.004, 0.0, 3, {"-0.004", "-0.002", "0.000"}},
      {5.0, 5.0, 5, {}},
      {NAN, 1.0, 5, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.low) + " .. " + std::to_string(c.high));
    const ValueTicks ticks = RoundValueTicks(c.low, c.high, c.maxTicks);
    std::vector<std::string> texts;
    for (double value : ticks.values) texts.push_back(ValueTickText(value, ticks.decimals));
    EXPECT_EQ(texts, c.texts);
  }
}

TEST(ChartTicks, TimesOnWholeStepsOfTheLocalClock) {
  struct Case {
    const char* zone;
    int64_t from, to;
    int maxTicks;
    int64_t first;
    std::vector<std::string> labels;
  };
  const Case cases[] = {
      // Ten minutes, 12:03:20 to 12:13:20 UTC.
      {"UTC", 1796645000, 1796645600, 6, 1796645040, {"12:04", "12:06", "12:08", "12:10", "12:12"}},
      // A minute: both ends are ticks.
      {"UTC", 1796645000, 1796645060, 7, 1796645000,
       {"12:03:20", "12:03:30", "12:03:40", "12:03:50", "12:04:00", "12:04:10", "12:04:20"}},
      // The last 24 hours from 15:13: dates below the first tick and midnight.
      {"Europe/Berlin", 1796652780, 1796652780 + 86400, 8, 1796662800,
       {"18:00\n07 Dec", "00:00\n08 Dec", "06:00", "12:00"}},
      // 29 March: 02:00 does not exist.
      {"Europe/Berlin", 1774738800, 1774738800 + 5 * 3600, 6, 1774738800,
       {"00:00", "01:00", "03:00", "04:00", "05:00", "06:00"}},
      // 25 October: 02:00 comes twice; two-hour steps stay on even hours.
      {"Europe/Berlin", 1792879200, 1792879200 + 5 * 3600, 6, 1792879200,
       {"00:00", "01:00", "02:00", "02:00", "03:00", "04:00"}},
      {"Europe/Berlin", 1792879200, 1792879200 + 9 * 3600, 6, 1792879200,
       {"00:00", "02:00", "04:00", "06:00", "08:00"}},
      // 60 days from 8 October: Mondays at local midnight, either side of the change.
      {"Europe/Berlin", 1791417600, 1791417600 + 60 * 86400, 10, 1791756000,
       {"12 Oct", "19 Oct", "26 Oct", "02 Nov", "09 Nov", "16 Nov", "23 Nov", "30 Nov", "07 Dec"}},
      // India, 05:30 to 09:30 local: whole local hours, half past in UTC.
      {"Asia/Kolkata", 1796601600, 1796601600 + 4 * 3600, 5, 1796603400, {"06:00", "07:00", "08:00", "09:00"}},
      {"UTC", 1796645000, 1796645000, 5, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.zone) + " " + std::to_string(c.from));
    setenv("TZ", c.zone, 1);
    tzset();
    const std::vector<TimeTick> ticks = RoundTimeTicks(double(c.from), double(c.to), c.maxTicks);
    std::vector<std::string> labels;
    for (const TimeTick& tick : ticks) labels.push_back(tick.label);
    EXPECT_EQ(labels, c.labels);
    EXPECT_EQ(ticks.empty() ? 0 : ticks.front().seconds, c.first);
  }
  unsetenv("TZ");
  tzset();
}

TEST(ChartTicks, TrendRangesFitTheDataAtTheirUnitsLeastSpan) {
  struct Case {
    double low, high, least, bottom, top;
  };
  const Case cases[] = {
      {21809.2, 21809.2, 1, 21808.7, 21809.7},    // a steady kWh count: not flat on a scale from zero
      {21809.2, 21809.6, 1, 21808.9, 21809.9},    // narrower than a kWh: widened around the middle
      {-5, 5, 0.1, -5.5, 5.5},                    // wide enough: a twentieth either side, below zero too
      {INFINITY, -INFINITY, 1, 0, 1},             // no values
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.low) + " .. " + std::to_string(c.high));
    const auto [bottom, top] = FittedRange(c.low, c.high, c.least);
    EXPECT_NEAR(bottom, c.bottom, 1e-9);
    EXPECT_NEAR(top, c.top, 1e-9);
  }
}

TEST(ChartTicks, ASpanLongerThanTheDataSaysMoreWillFillIt) {
  struct Case {
    int64_t keptMs, spanMs;
    const char* note;
  };
  const Case cases[] = {
      {59999, 60000, "59 s kept so far: more will fill the last 6 hours"},
      {8 * 60000 + 59999, 21600000, "8 min kept so far: more will fill the last 6 hours"},
      {3600000 + 5 * 60000, 21600000, "1 h 5 min kept so far: more will fill the last 6 hours"},
      {21600001, 21600000, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(KeptSpanNote(c.keptMs, c.spanMs, "last 6 hours"), c.note) << c.keptMs;
}
