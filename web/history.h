#pragma once
// The last hour of a meter's polls, for the page's chart and
// /api/meters/ID/history. A poll is added when it comes at least kStepMs
// after the sample before the newest; otherwise it takes the newest's
// place. So the newest poll is always there, any two neighbouring spacings
// add up to at least a step (at most two samples a step: 1440 an hour),
// every poll of rounds 2.5 s or more apart is kept, and faster ones are
// thinned to one every 2.5 to 5 s. Bounded: kCapacity samples of 112 bytes,
// 161 KB a meter.

#include <array>
#include <cstdint>
#include <deque>
#include <vector>

#include "bus/poll.h"

struct HistorySample {
  int64_t timeMs = 0;  // the PC's time of the poll, ms since 1970 (UTC)
  int pairsRead = 0;   // 0: the poll read nothing (a gap in the chart)
  std::array<float, 24> pairs{};
};

class MeterHistory {
 public:
  static constexpr int64_t kStepMs = 5000;  // the monitor's default interval
  // An hour at two samples a step, and the newest.
  static constexpr size_t kCapacity = 2 * 3600 * 1000 / kStepMs + 2;

  // A poll at timeMs: its readings, or none (fields null) when it failed.
  void Add(int64_t timeMs, const PollFields* fields);
  // The samples from sinceMs on, oldest first.
  std::vector<HistorySample> Since(int64_t sinceMs) const;

 private:
  std::deque<HistorySample> samples_;
};
