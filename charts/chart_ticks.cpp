#include "charts/chart_ticks.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>

namespace {
constexpr int64_t kMinute = 60;
constexpr int64_t kHour = 3600;
constexpr int64_t kDay = 86400;
// Whole steps of the clock, shortest first.
constexpr int64_t kTimeSteps[] = {1,         2,         5,          10,         15,        30,       kMinute,
                                  2 * kMinute, 5 * kMinute, 10 * kMinute, 15 * kMinute, 30 * kMinute, kHour,
                                  2 * kHour, 3 * kHour, 6 * kHour,  12 * kHour, kDay,      2 * kDay, 7 * kDay,
                                  14 * kDay, 28 * kDay};
// Steps count from Monday 5 January 1970, so weeks start on Mondays; every
// shorter step divides its four days.
constexpr int64_t kStepOrigin = 4 * kDay;
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct tm LocalFields(int64_t seconds) {
  const time_t value = static_cast<time_t>(seconds);
  struct tm local {};
  localtime_r(&value, &local);
  return local;
}

// The local clock's reading of an instant, as seconds of a clock that never
// jumps: 00:00 local is a whole multiple of a day.
int64_t LocalSeconds(int64_t seconds) { return seconds + LocalFields(seconds).tm_gmtoff; }

// How far the local clock at an instant lies past the last whole step.
int64_t PastWholeStep(int64_t seconds, int64_t step) {
  const int64_t past = (LocalSeconds(seconds) - kStepOrigin) % step;
  return past < 0 ? past + step : past;
}

// The nearest instant whose local clock reads a whole step (half a step
// rounds up): after a change of daylight saving time, 00:00 + 6 h reads
// 05:00 or 07:00 and becomes 06:00.
int64_t OnWholeStep(int64_t seconds, int64_t step) {
  const int64_t past = PastWholeStep(seconds, step);
  if (past == 0) return seconds;
  return past < step / 2 ? seconds - past : seconds + (step - past);
}

std::string DateText(const struct tm& local) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d %s", local.tm_mday, kMonths[local.tm_mon]);
  return text;
}

std::string ClockText(const struct tm& local, bool withSeconds) {
  char text[16];
  if (withSeconds)
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
  else
    std::snprintf(text, sizeof text, "%02d:%02d", local.tm_hour, local.tm_min);
  return text;
}

// 1, 2 or 5 x 10^exponent.
struct RoundStep {
  int mantissa;  // 0, 1, 2: 1, 2, 5
  int exponent;
  double Value() const { return (mantissa == 0 ? 1 : mantissa == 1 ? 2 : 5) * std::pow(10.0, exponent); }
  void Up() {
    if (++mantissa == 3) mantissa = 0, ++exponent;
  }
  void Down() {
    if (--mantissa < 0) mantissa = 2, --exponent;
  }
};

bool SameDay(const struct tm& a, const struct tm& b) { return a.tm_year == b.tm_year && a.tm_yday == b.tm_yday; }

std::vector<TimeTick> TicksEvery(int64_t step, int64_t from, int64_t to, TimeDates dates) {
  std::vector<TimeTick> ticks;
  const bool datesOnly = step >= kDay;
  const bool dated = dates == TimeDates::Always || !SameDay(LocalFields(from), LocalFields(to));
  int64_t tick = OnWholeStep(from + (step - PastWholeStep(from, step)) % step, step);
  if (tick < from) tick = OnWholeStep(tick + step, step);
  struct tm previous {};
  for (; tick <= to; tick = OnWholeStep(tick + step, step)) {
    const struct tm local = LocalFields(tick);
    std::string label;
    if (datesOnly) {
      label = DateText(local);
    } else {
      label = ClockText(local, step < kMinute);
      if (dated && (ticks.empty() || !SameDay(local, previous))) label += "\n" + DateText(local);
    }
    ticks.push_back({tick, label});
    previous = local;
  }
  return ticks;
}
}  // namespace

std::pair<double, double> PaddedRange(double low, double high, double leastSpan) {
  if (!(low <= high)) return {0.0, 1.0};
  const double margin = high > low ? (high - low) * 0.05 : std::max(std::fabs(high) * 0.05, 0.5);
  const double floor = low >= 0 ? 0.0 : -std::numeric_limits<double>::infinity();
  const double bottom = std::max(floor, low - margin), top = high + margin;
  if (top - bottom >= leastSpan) return {bottom, top};
  const double widened = std::max(floor, (low + high - leastSpan) / 2);
  return {widened, widened + leastSpan};
}

std::pair<double, double> FittedRange(double low, double high, double leastSpan) {
  if (!(low <= high)) return {0.0, 1.0};
  const double margin = (high - low) * 0.05;
  if (high - low + 2 * margin >= leastSpan && high > low) return {low - margin, high + margin};
  const double middle = (low + high) / 2, half = std::max(leastSpan, 1e-9) / 2;
  return {middle - half, middle + half};
}

std::string KeptSpanNote(int64_t keptMs, int64_t spanMs, const std::string& spanName) {
  if (keptMs >= spanMs) return std::string();
  const int64_t seconds = std::max<int64_t>(keptMs, 0) / 1000;
  std::string kept;
  if (seconds < 60)
    kept = std::to_string(seconds) + " s";
  else if (seconds < 3600)
    kept = std::to_string(seconds / 60) + " min";
  else
    kept = std::to_string(seconds / 3600) + " h " + std::to_string(seconds % 3600 / 60) + " min";
  return kept + " kept so far: more will fill the " + spanName;
}

ValueTicks RoundValueTicks(double low, double high, int maxTicks) {
  ValueTicks ticks;
  if (!std::isfinite(low) || !std::isfinite(high) || !(high > low)) return ticks;
  // n ticks span n - 1 steps: 0..10 in at most 6 ticks needs a step of 2.
  const double least = (high - low) / std::max(1, maxTicks - 1);
  RoundStep step{0, static_cast<int>(std::floor(std::log10(least)))};
  // A little below 1, so 0.3 / 0.1 (2.9999999999999996) still takes 0.1.
  while (step.Value() < least * (1 - 1e-9)) step.Up();
  // An axis with fewer than two ticks tells no scale: a step down until it has.
  for (;; step.Down()) {
    ticks.step = step.Value();
    ticks.values.clear();
    // Each tick a whole multiple of the step, so no rounding error piles up.
    const double epsilon = ticks.step * 1e-9;
    for (double k = std::ceil((low - epsilon) / ticks.step); k * ticks.step <= high + epsilon; ++k)
      ticks.values.push_back(k * ticks.step);
    if (ticks.values.size() >= 2) break;
  }
  ticks.decimals = std::max(0, -static_cast<int>(std::floor(std::log10(ticks.step) + 1e-9)));
  return ticks;
}

std::string ValueTickText(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  std::string written = text;
  if (written.front() == '-' && written.find_first_not_of("-0.") == std::string::npos) written.erase(0, 1);
  return written;
}

std::vector<TimeTick> RoundTimeTicks(double fromSeconds, double toSeconds, int maxTicks, TimeDates dates) {
  if (!std::isfinite(fromSeconds) || !std::isfinite(toSeconds) || !(toSeconds > fromSeconds)) return {};
  const int64_t from = static_cast<int64_t>(std::ceil(fromSeconds));
  const int64_t to = static_cast<int64_t>(std::floor(toSeconds));
  const double least = (toSeconds - fromSeconds) / std::max(1, maxTicks - 1);
  size_t s = 0;
  while (s + 1 < std::size(kTimeSteps) && double(kTimeSteps[s]) < least) ++s;
  // Fewer than two ticks tell no scale: a step down until there are two.
  std::vector<TimeTick> ticks = TicksEvery(kTimeSteps[s], from, to, dates);
  for (; ticks.size() < 2 && s > 0; ticks = TicksEvery(kTimeSteps[s], from, to, dates)) --s;
  return ticks;
}
