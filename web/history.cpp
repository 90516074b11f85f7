#include "web/history.h"

#include <algorithm>

void MeterHistory::Add(int64_t timeMs, const PollFields* fields) {
  HistorySample sample;
  sample.timeMs = timeMs;
  if (fields != nullptr) {
    sample.pairsRead = fields->pairsRead;
    sample.pairs = fields->pairs;
  }
  const size_t n = samples_.size();
  if (n >= 2 && timeMs - samples_[n - 2].timeMs < kStepMs) {
    samples_.back() = sample;
    return;
  }
  samples_.push_back(sample);
  if (samples_.size() > kCapacity) samples_.pop_front();
}

std::vector<HistorySample> MeterHistory::Since(int64_t sinceMs) const {
  const auto first = std::find_if(samples_.begin(), samples_.end(),
                                  [sinceMs](const HistorySample& s) { return s.timeMs >= sinceMs; });
  return {first, samples_.end()};
}
