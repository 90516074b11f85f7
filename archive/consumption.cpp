#include "archive/consumption.h"

#include <algorithm>
#include <cstdio>

namespace {
constexpr long kHour = 3600;

struct tm LocalTm(time_t t) {
  struct tm local {};
  localtime_r(&t, &local);
  return local;
}

// A local calendar day's midnight, whatever daylight saving does that day.
time_t LocalMidnight(struct tm day) {
  day.tm_hour = day.tm_min = day.tm_sec = 0;
  day.tm_isdst = -1;
  return mktime(&day);
}

std::string Format(time_t t, const char* format) {
  const struct tm local = LocalTm(t);
  char text[64];
  strftime(text, sizeof text, format, &local);
  return text;
}

// The repeated hour of an autumn change is named twice: the zone tells them apart.
std::string Label(PeriodKind kind, time_t start) {
  switch (kind) {
    case PeriodKind::Hour: return Format(start, "%Y-%m-%d %H:%M %Z");
    case PeriodKind::Day: return Format(start, "%Y-%m-%d");
    case PeriodKind::Week: return Format(start, "%G-W%V");
    case PeriodKind::Month: return Format(start, "%Y-%m");
  }
  return "";
}

// The counter at t: an instant on it, else interpolated between the two
// instants around it where they are bridged and the counter did not go back.
std::optional<double> CounterAt(const std::vector<CounterPoint>& points, time_t t, bool& interpolated) {
  interpolated = false;
  const auto after = std::lower_bound(points.begin(), points.end(), t,
                                      [](const CounterPoint& p, time_t when) { return p.time < when; });
  if (after != points.end() && after->time == t) return after->kwh;
  if (after == points.begin() || after == points.end() || after->afterGap) return std::nullopt;
  const CounterPoint& before = *(after - 1);
  if (after->kwh < before.kwh) return std::nullopt;
  interpolated = true;
  return before.kwh + (after->kwh - before.kwh) * static_cast<double>(t - before.time) /
                          static_cast<double>(after->time - before.time);
}
}  // namespace

time_t PeriodStart(PeriodKind kind, time_t t) {
  struct tm local = LocalTm(t);
  switch (kind) {
    case PeriodKind::Hour: return t - ((t + local.tm_gmtoff) % kHour + kHour) % kHour;
    case PeriodKind::Day: break;
    case PeriodKind::Week: local.tm_mday -= (local.tm_wday + 6) % 7; break;  // weeks begin on Monday
    case PeriodKind::Month: local.tm_mday = 1; break;
  }
  return LocalMidnight(local);
}

time_t PeriodAfter(PeriodKind kind, time_t start, int n) {
  struct tm local = LocalTm(start);
  switch (kind) {
    case PeriodKind::Hour: return start + n * kHour;
    case PeriodKind::Day: local.tm_mday += n; break;
    case PeriodKind::Week: local.tm_mday += 7 * n; break;
    case PeriodKind::Month: local.tm_mon += n; local.tm_mday = 1; break;
  }
  return LocalMidnight(local);
}

std::vector<Period> Periods(PeriodKind kind, time_t from, time_t to) {
  std::vector<Period> periods;
  for (time_t start = PeriodStart(kind, from); start < to;) {
    const time_t end = PeriodAfter(kind, start);
    periods.push_back({kind, start, end, Label(kind, start)});
    start = end;
  }
  return periods;
}

bool ParsePeriodKind(const std::string& word, PeriodKind& kind) {
  static const std::pair<const char*, PeriodKind> kWords[] = {
      {"hour", PeriodKind::Hour}, {"day", PeriodKind::Day}, {"week", PeriodKind::Week}, {"month", PeriodKind::Month}};
  for (const auto& [name, value] : kWords)
    if (word == name) {
      kind = value;
      return true;
    }
  return false;
}

const char* SourceName(CounterSource source) { return source == CounterSource::Log ? "log" : "polled"; }

double PeriodUse::CoveragePercent() const {
  const time_t length = period.end - period.start;
  return length > 0 ? 100.0 * static_cast<double>(coveredSeconds) / static_cast<double>(length) : 0.0;
}

// Each stretch between two bridged instants adds its share inside the
// period: whole where it lies inside, in proportion where a boundary cuts it
// (the interpolated counter there). A stretch where the counter went back
// adds nothing: the reset ends one segment and the next instant begins one.
PeriodUse UseOf(const CounterSeries& series, const Period& period) {
  PeriodUse use;
  use.period = period;
  use.source = series.source;
  const std::vector<CounterPoint>& points = series.points;
  use.startKwh = CounterAt(points, period.start, use.startInterpolated);
  use.endKwh = CounterAt(points, period.end, use.endInterpolated);
  auto i = std::upper_bound(points.begin(), points.end(), period.start,
                            [](time_t when, const CounterPoint& p) { return when < p.time; });
  if (i == points.begin() && i != points.end()) ++i;
  for (; i != points.end() && (i - 1)->time < period.end; ++i) {
    const CounterPoint& a = *(i - 1);
    const CounterPoint& b = *i;
    if (b.afterGap || b.time <= a.time) continue;
    if (b.kwh < a.kwh) {
      if (b.time <= period.end) ++use.resets;
      continue;
    }
    const time_t lo = std::max(a.time, period.start);
    const time_t hi = std::min(b.time, period.end);
    if (hi <= lo) continue;
    use.kwh += (b.kwh - a.kwh) * static_cast<double>(hi - lo) / static_cast<double>(b.time - a.time);
    use.coveredSeconds += static_cast<long>(hi - lo);
  }
  return use;
}

PeriodUse UseOf(const CounterSeries& log, const CounterSeries& polled, const Period& period) {
  PeriodUse fromLog = UseOf(log, period);
  if (fromLog.coveredSeconds > 0 || fromLog.resets > 0) return fromLog;
  PeriodUse fromPolls = UseOf(polled, period);
  const bool polls = fromPolls.coveredSeconds > 0 || fromPolls.resets > 0;
  return polls || log.points.empty() ? fromPolls : fromLog;
}

std::string KwhText(double kwh) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", kwh);
  return text;
}

std::string CoverageText(const PeriodUse& use) {
  char text[16];
  std::snprintf(text, sizeof text, "%.1f", use.CoveragePercent());
  return text;
}
