#include "sim/meter_log.h"

MeterLog::MeterLog(bool sequenceValues) : ring_(reg::kLogCapacity), sequenceValues_(sequenceValues) {}

void MeterLog::Erase() {
  head_ = -1;
  count_ = 0;
  total_ = 0;
  stopped_ = false;
  newestTime_ = 0;
}

bool MeterLog::Add(LogEntry entry, int64_t time, bool oneShot) {
  if (stopped_) return false;
  if (sequenceValues_) entry.fill(static_cast<uint16_t>(total_ + 1));
  head_ = (head_ + 1) % reg::kLogCapacity;
  ring_[head_] = entry;
  if (count_ < reg::kLogCapacity) ++count_;
  ++total_;
  newestTime_ = time;
  if (oneShot && count_ == reg::kLogCapacity) stopped_ = true;
  return true;
}

int MeterLog::Rollovers() const {
  const uint64_t fills = total_ / reg::kLogCapacity;
  return fills > 65535 ? 65535 : static_cast<int>(fills);
}

int MeterLog::DaysUntilRollover(int periodSeconds) const {
  if (stopped_) return 0;
  const int64_t left = reg::kLogCapacity - static_cast<int64_t>(total_ % reg::kLogCapacity);
  const int64_t days = left * periodSeconds / 86400;
  return days > 65535 ? 65535 : static_cast<int>(days);
}

uint16_t MeterLog::Value(int k, int slot) const {
  if (k < 0 || k >= count_ || slot < 1 || slot > reg::kSlotCount) return 0;
  const int index = ((head_ - k) % reg::kLogCapacity + reg::kLogCapacity) % reg::kLogCapacity;
  return ring_[index][slot - 1];
}
