// A day of poll ticks at one a second (86400, a QM4C reading every channel)
// kept by the trend's store: the memory the process grows by, and the time
// the window's redraw spends taking the lines of one quantity (four
// channels) over the whole day, thinned for a chart 1000 pixels wide.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "charts/trend_store.h"

namespace {
constexpr int64_t kDayTicks = 86400;
constexpr int kRepetitions = 25;
constexpr int kChartWidth = 1000;

// The process's resident set, in kB, from /proc.
long ResidentKb() {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long kb = -1;
  while (std::fgets(line, sizeof line, status) != nullptr)
    if (std::strncmp(line, "VmRSS:", 6) == 0) kb = std::atol(line + 6);
  std::fclose(status);
  return kb;
}

TrendValues Tick(int64_t s) {
  TrendValues values;
  for (int channel = 0; channel < kTrendChannels; ++channel)
    values[channel] = float(100.0 + 20.0 * std::sin(double(s) / 900.0 + channel));
  return values;
}
}  // namespace

int main() {
  const long before = ResidentKb();
  TrendStore store;
  const int64_t start = 1'790'000'000'000;
  for (int64_t s = 0; s < kDayTicks; ++s)
    store.Add(start + s * 1000, Meter{3, ModelQM4C, "Orvant QM4C Power Meter", ""}, Tick(s));
  const long after = ResidentKb();

  std::vector<double> ms;
  size_t points = 0;
  for (int r = 0; r < kRepetitions; ++r) {
    const auto begin = std::chrono::steady_clock::now();
    const std::vector<TrendLine> lines =
        store.Lines(ChannelsOf(TrendQuantity::Kw), start, start + kDayTicks * 1000, kChartWidth);
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count());
    points = 0;
    for (const TrendLine& line : lines)
      for (const TrendSegment& segment : line.segments) points += segment.size();
  }
  std::sort(ms.begin(), ms.end());
  std::printf("ticks kept: %d of %lld\n", store.Count(), static_cast<long long>(kDayTicks));
  std::printf("store holds: %.1f MB (%.1f bytes a tick)\n", double(store.BytesHeld()) / 1e6,
              double(store.BytesHeld()) / double(store.Count()));
  std::printf("resident set grew: %.1f MB (%ld kB to %ld kB)\n", double(after - before) / 1000.0, before, after);
  std::printf("lines of one quantity over the day: %zu points for 4 lines, median %.2f ms of %d\n", points,
              ms[ms.size() / 2], kRepetitions);
  return 0;
}
