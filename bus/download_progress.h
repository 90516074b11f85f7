#pragma once
// The download's progress as the logging window says it: the slot being
// read and its entries, and the time left at the pace the line has kept so
// far.

#include <chrono>
#include <optional>
#include <string>

// "slot 4 of 10: 1,953 of 5,760 entries", and ", about 42 s left" or
// ", about 1 min 12 s left" when secondsLeft is known. slot counts from 1.
std::string DownloadProgressText(int slot, int slots, long entries, long slotEntries,
                                 std::optional<long> secondsLeft);

class DownloadPace {
 public:
  using Clock = std::chrono::steady_clock;
  // StatusLog::Progress's done and total (slotEntries a slot, over slots
  // slots), at now: the text above. The pace is taken from the first report
  // on, so the time before the first section (the status reads) is not in it.
  std::string Report(long done, long total, int slots, Clock::time_point now);

 private:
  std::optional<Clock::time_point> firstAt_;
  long firstDone_ = 0;
};
