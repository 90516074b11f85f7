#pragma once
// The QM4C's log buffer: up to 5760 entries, each holding the raw value of
// the register in each of the ten slots at one sub-interval's end.
//
// Continuous logging drops the oldest entry once the buffer is full; one-shot
// logging stops there. The rollover count (register 160) is the number of
// times the buffer has filled up (total entries / 5760), so it turns 1 the
// moment the buffer is full in either mode, which is what "not 0 means full"
// asks of it; a one-shot log therefore stops at rollover count 1.

#include <array>
#include <cstdint>
#include <vector>

#include "meter/register_map.h"

using LogEntry = std::array<uint16_t, reg::kSlotCount>;

class MeterLog {
 public:
  // sequenceValues: every slot of an entry holds the entry's sequence number
  // instead of the value given to Add, so that a reader can tell which
  // logging instant a value comes from.
  explicit MeterLog(bool sequenceValues = false);

  // Register 128 <- 16640: no entries, no rollovers, logging running again.
  void Erase();
  // Adds the newest entry taken at calendar time `time`. A one-shot log that
  // is full takes no more; returns false then. Entries are numbered from 1
  // after each erase (modulo 65536 where they stand for values).
  bool Add(LogEntry entry, int64_t time, bool oneShot);

  int Entries() const { return count_; }  // 0 .. 5760
  int Rollovers() const;                  // saturates at 65535
  // Days until the rollover count next changes at one entry per period
  // seconds, rounded down; 0 once a one-shot log has stopped.
  int DaysUntilRollover(int periodSeconds) const;
  bool Empty() const { return count_ == 0; }
  int64_t NewestTime() const { return newestTime_; }
  // The value slot (1..10) logged k entries before the newest (k = 0 the
  // newest); 0 where no entry is (k >= Entries()) or no slot is selected.
  uint16_t Value(int k, int slot) const;

 private:
  std::vector<LogEntry> ring_;
  int head_ = -1;  // index of the newest entry
  int count_ = 0;
  uint64_t total_ = 0;  // entries added since the last erase
  bool stopped_ = false;
  int64_t newestTime_ = 0;
  bool sequenceValues_;
};
