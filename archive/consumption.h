#pragma once
// What a meter used per period, from the kWh counter it logged or the
// monitor polled: the one set of rules `pylaxctl archive report` and the
// monitor's page both apply, so that they agree to the digit.
//
// Periods are the site's local time (TZ): a day of a daylight-saving change
// has 23 or 25 hours. A counter that went back (energy reset, a meter
// exchanged, a count wrapping) ends a segment: a period's consumption is the
// sum of its segments, never negative. An outage's two sides are never
// bridged. A boundary without an instant on it takes the counter
// interpolated between the two instants around it, marked as such.

#include <ctime>
#include <optional>
#include <string>
#include <vector>

enum class PeriodKind { Hour, Day, Week, Month };

// One period: [start, end) in UTC seconds, named in local time.
struct Period {
  PeriodKind kind = PeriodKind::Day;
  time_t start = 0;
  time_t end = 0;
  std::string label;  // "2026-11-01 01:00", "2026-11-01", "2026-W44", "2026-11"
  int Hours() const { return static_cast<int>((end - start) / 3600); }
};

// The local-time periods of kind that begin at or after the one holding
// from and before to (both UTC seconds).
std::vector<Period> Periods(PeriodKind kind, time_t from, time_t to);
// The start of the local period of kind that holds t.
time_t PeriodStart(PeriodKind kind, time_t t);
// The start of the local period of kind n periods after the one at start.
time_t PeriodAfter(PeriodKind kind, time_t start, int n = 1);
// "hour", "day", "week", "month" to the kind; false for any other word.
bool ParsePeriodKind(const std::string& word, PeriodKind& kind);

enum class CounterSource { Log, Polled };
const char* SourceName(CounterSource source);  // "log", "polled"

// One instant of a kWh counter. afterGap: the stretch since the instant
// before it is an outage (entries lost, the monitor away), never bridged.
struct CounterPoint {
  time_t time = 0;
  double kwh = 0;
  bool afterGap = false;
};

// A meter's counter from one source, oldest first.
struct CounterSeries {
  CounterSource source = CounterSource::Log;
  std::vector<CounterPoint> points;
};

// One meter's period.
struct PeriodUse {
  Period period;
  CounterSource source = CounterSource::Log;
  std::optional<double> startKwh;  // none where no instant lies around the boundary
  std::optional<double> endKwh;
  bool startInterpolated = false;
  bool endInterpolated = false;
  double kwh = 0;          // the sum of the period's segments
  int resets = 0;          // counters that went back in the period
  long coveredSeconds = 0; // of the period, between instants bridged
  double CoveragePercent() const;
};

// The period from one series.
PeriodUse UseOf(const CounterSeries& series, const Period& period);
// The period from the log where it covers any of it, else from the polled
// readings; none from either: the log's empty row (the polls' where no log holds the kWh).
PeriodUse UseOf(const CounterSeries& log, const CounterSeries& polled, const Period& period);

// The texts every output shares: a counter or consumption to the thousandth
// of a kWh ("1234.500"), a coverage in percent to a tenth ("99.7").
std::string KwhText(double kwh);
std::string CoverageText(const PeriodUse& use);
