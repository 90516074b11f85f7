#include "monitor/gateway_cache.h"

#include <algorithm>

#include "meter/register_map.h"

namespace {
// The blocks a poll reads are few (the reading block, the clock, the log's
// status); more distinct ones for one meter replace the oldest.
constexpr size_t kMostBlocksPerMeter = 8;
}  // namespace

GatewayCache::GatewayCache(double maxAgeSeconds)
    : maxAge_(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(maxAgeSeconds))),
      on_(maxAgeSeconds > 0) {}

bool GatewayCache::Answer(int slave, int first, int count, Clock::time_point now, uint8_t* pdu,
                          int* pduLength) const {
  if (!on_ || count < 1) return false;
  std::lock_guard<std::mutex> hold(lock_);
  const auto meter = blocks_.find(slave);
  if (meter == blocks_.end()) return false;
  for (const Block& block : meter->second) {
    const int end = block.first + static_cast<int>(block.values.size());
    if (first < block.first || first + count > end || now - block.at > maxAge_) continue;
    pdu[0] = 3;
    pdu[1] = static_cast<uint8_t>(2 * count);
    for (int k = 0; k < count; ++k) {
      const uint16_t value = block.values[static_cast<size_t>(first - block.first + k)];
      pdu[2 + 2 * k] = static_cast<uint8_t>(value >> 8);
      pdu[3 + 2 * k] = static_cast<uint8_t>(value);
    }
    *pduLength = 2 + 2 * count;
    return true;
  }
  return false;
}

void GatewayCache::Keep(int slave, int first, int count, const int* values, Clock::time_point at) {
  if (!on_ || count < 1 || first + count > reg::kLogWindow) return;
  Block block{first, std::vector<uint16_t>(static_cast<size_t>(count)), at};
  for (int k = 0; k < count; ++k) block.values[static_cast<size_t>(k)] = static_cast<uint16_t>(values[k]);
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<Block>& kept = blocks_[slave];
  const auto same = std::find_if(kept.begin(), kept.end(), [&](const Block& b) {
    return b.first == first && b.values.size() == block.values.size();
  });
  if (same != kept.end()) {
    *same = std::move(block);
    return;
  }
  if (kept.size() == kMostBlocksPerMeter)
    kept.erase(std::min_element(kept.begin(), kept.end(), [](const Block& a, const Block& b) { return a.at < b.at; }));
  kept.push_back(std::move(block));
}

void GatewayCache::Drop(int slave) {
  std::lock_guard<std::mutex> hold(lock_);
  if (slave == 0)
    blocks_.clear();
  else
    blocks_.erase(slave);
}

void GatewayCache::Read(int slave, int firstAddress, int count, const int* values) {
  Keep(slave, firstAddress, count, values, Clock::now());
}
