// The report's periods in New York's time: exact and interpolated boundaries,
// 23/25-hour days, the repeated hour, weeks, months, resets, gaps, polled readings.

#include <gtest/gtest.h>

#include <cstdlib>

#include "archive/consumption.h"
#include "archive/export.h"

namespace {
struct Point {
  const char* utc;  // "2026-11-01T04:00Z"
  double kwh;
  bool afterGap = false;
};

struct ConsumptionCase {
  const char* name;
  PeriodKind kind;
  const char* from;  // as --from takes it
  const char* to;
  std::vector<Point> log;
  // Per period: label|hours|start kWh|= exact, ~ interpolated|end kWh|=/~|kWh|source|coverage|resets
  std::vector<std::string> rows;
  std::vector<Point> polled = {};
};

const ConsumptionCase kCases[] = {
    {"AutumnChangeDayHas25Hours", PeriodKind::Day, "2026-11-01", "2026-11-02",
     {{"2026-11-01T04:00Z", 0}, {"2026-11-01T17:00Z", 100}, {"2026-11-02T05:00Z", 250}},
     {"2026-11-01|25|0.000|=|250.000|=|250.000|log|100.0|0"}},
    {"SpringChangeDayHas23Hours", PeriodKind::Day, "2026-03-08", "2026-03-09",
     {{"2026-03-08T05:00Z", 10}, {"2026-03-09T04:00Z", 33}},
     {"2026-03-08|23|10.000|=|33.000|=|23.000|log|100.0|0"}},
    {"BoundariesBetweenInstantsInterpolated", PeriodKind::Day, "2026-11-03", "2026-11-04",
     {{"2026-11-03T04:00Z", 100}, {"2026-11-03T06:00Z", 120}, {"2026-11-04T04:00Z", 500}, {"2026-11-04T06:00Z", 540}},
     {"2026-11-03|24|110.000|~|520.000|~|410.000|log|100.0|0"}},
    {"ResetEndsASegment", PeriodKind::Day, "2026-11-03", "2026-11-04",
     {{"2026-11-03T05:00Z", 1000}, {"2026-11-03T12:00Z", 1070}, {"2026-11-03T12:15Z", 5}, {"2026-11-04T05:00Z", 65}},
     {"2026-11-03|24|1000.000|=|65.000|=|130.000|log|99.0|1"}},
    {"GapNotBridged", PeriodKind::Day, "2026-11-03", "2026-11-04",
     {{"2026-11-03T05:00Z", 0}, {"2026-11-03T11:00Z", 60}, {"2026-11-03T17:00Z", 200, true}, {"2026-11-04T05:00Z", 320}},
     {"2026-11-03|24|0.000|=|320.000|=|180.000|log|75.0|0"}},
    {"BoundaryInAGapHasNoCounter", PeriodKind::Day, "2026-11-03", "2026-11-05",
     {{"2026-11-03T05:00Z", 0}, {"2026-11-03T20:00Z", 150}, {"2026-11-04T10:00Z", 300, true}, {"2026-11-05T05:00Z", 490}},
     {"2026-11-03|24|0.000|=||=|150.000|log|62.5|0", "2026-11-04|24||=|490.000|=|190.000|log|79.2|0"}},
    {"RepeatedHourNamedByItsZone", PeriodKind::Hour, "2026-11-01T05:00:00Z", "2026-11-01T07:00:00Z",
     {{"2026-11-01T05:00Z", 0}, {"2026-11-01T05:30Z", 5}, {"2026-11-01T06:00Z", 10}, {"2026-11-01T07:00Z", 30}},
     {"2026-11-01 01:00 EDT|1|0.000|=|10.000|=|10.000|log|100.0|0",
      "2026-11-01 01:00 EST|1|10.000|=|30.000|=|20.000|log|100.0|0"}},
    {"MonthsFromTheFirst", PeriodKind::Month, "2026-11-15", "2026-12-15",
     {{"2026-11-01T04:00Z", 0}, {"2026-12-01T05:00Z", 721}, {"2027-01-01T05:00Z", 1465}},
     {"2026-11|721|0.000|=|721.000|=|721.000|log|100.0|0", "2026-12|744|721.000|=|1465.000|=|744.000|log|100.0|0"}},
    {"WeeksFromMonday", PeriodKind::Week, "2026-11-04", "2026-11-05",
     {{"2026-11-02T05:00Z", 0}, {"2026-11-05T17:00Z", 84}},
     {"2026-W45|168|0.000|=||=|84.000|log|50.0|0"}},
    {"PolledWhereTheLogHasNothing", PeriodKind::Day, "2026-11-03", "2026-11-05",
     {{"2026-11-03T05:00Z", 0}, {"2026-11-04T05:00Z", 24}},
     {"2026-11-03|24|0.000|=|24.000|=|24.000|log|100.0|0", "2026-11-04|24|9.000|=||=|6.000|polled|50.0|0"},
     {{"2026-11-03T05:00Z", 7}, {"2026-11-04T05:00Z", 9}, {"2026-11-04T17:00Z", 15}}},
};

void PrintTo(const ConsumptionCase& c, std::ostream* out) { *out << c.name; }

time_t At(const char* text) {
  time_t t = 0;
  EXPECT_TRUE(ParseArchiveTime(text, t)) << text;
  return t;
}

CounterSeries Series(CounterSource source, const std::vector<Point>& points) {
  CounterSeries series{source, {}};
  for (const Point& p : points) {
    const std::string text = std::string(p.utc).substr(0, 16) + ":00Z";
    series.points.push_back({At(text.c_str()), p.kwh, p.afterGap});
  }
  return series;
}

std::string Counter(const std::optional<double>& kwh, bool interpolated) {
  return (kwh ? KwhText(*kwh) : "") + (interpolated ? "|~" : "|=");
}

class ConsumptionCases : public ::testing::TestWithParam<ConsumptionCase> {
 protected:
  void SetUp() override { setenv("TZ", "America/New_York", 1); tzset(); }
  void TearDown() override {
    if (saved_.empty()) unsetenv("TZ"); else setenv("TZ", saved_.c_str(), 1);
    tzset();
  }
  std::string saved_ = std::getenv("TZ") != nullptr ? std::getenv("TZ") : "";
};
}  // namespace

TEST_P(ConsumptionCases, PeriodsAsTheRulesSay) {
  const ConsumptionCase& c = GetParam();
  const CounterSeries log = Series(CounterSource::Log, c.log), polled = Series(CounterSource::Polled, c.polled);
  std::vector<std::string> rows;
  for (const Period& period : Periods(c.kind, At(c.from), At(c.to))) {
    const PeriodUse use = UseOf(log, polled, period);
    rows.push_back(period.label + "|" + std::to_string(period.Hours()) + "|" +
                   Counter(use.startKwh, use.startInterpolated) + "|" + Counter(use.endKwh, use.endInterpolated) +
                   "|" + KwhText(use.kwh) + "|" + SourceName(use.source) + "|" + CoverageText(use) + "|" +
                   std::to_string(use.resets));
  }
  EXPECT_EQ(rows, c.rows);
}

INSTANTIATE_TEST_SUITE_P(Archive, ConsumptionCases, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });
