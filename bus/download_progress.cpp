#include "bus/download_progress.h"

#include "meter/reading_format.h"

namespace {
std::string TimeLeft(long seconds) {
  if (seconds < 60) return std::to_string(seconds) + " s";
  return std::to_string(seconds / 60) + " min " + std::to_string(seconds % 60) + " s";
}
}  // namespace

std::string DownloadProgressText(int slot, int slots, long entries, long slotEntries,
                                 std::optional<long> secondsLeft) {
  std::string text = "slot " + std::to_string(slot) + " of " + std::to_string(slots) + ": " +
                     GroupedNumber(double(entries)) + " of " + GroupedNumber(double(slotEntries)) + " entries";
  if (secondsLeft) text += ", about " + TimeLeft(*secondsLeft) + " left";
  return text;
}

std::string DownloadPace::Report(long done, long total, int slots, Clock::time_point now) {
  const long slotEntries = slots > 0 ? total / slots : 0;
  if (slotEntries <= 0 || done <= 0) return std::string();
  // done counts the whole slots before this one and this slot's entries (1
  // to slotEntries of them).
  const long slotIndex = (done - 1) / slotEntries;
  const long entries = done - slotIndex * slotEntries;
  std::optional<long> secondsLeft;
  if (!firstAt_) {
    firstAt_ = now;
    firstDone_ = done;
  } else if (done > firstDone_) {
    const double elapsed = std::chrono::duration<double>(now - *firstAt_).count();
    secondsLeft = long(elapsed * double(total - done) / double(done - firstDone_) + 0.5);
  }
  return DownloadProgressText(int(slotIndex) + 1, slots, entries, slotEntries, secondsLeft);
}
