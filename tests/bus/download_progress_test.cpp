// The download's progress as the logging window says it, with a pinned time left.

#include <gtest/gtest.h>

#include "bus/download_progress.h"

TEST(DownloadProgress, CountsTheSlotsEntriesAndTheTimeLeft) {
  using namespace std::chrono_literals;
  const DownloadPace::Clock::time_point start{};
  const struct {
    long done;
    std::chrono::milliseconds at;
    const char* text;
  } steps[] = {
      {125, 0ms, "slot 1 of 10: 125 of 5,760 entries"},  // no pace yet
      {250, 1000ms, "slot 1 of 10: 250 of 5,760 entries, about 7 min 39 s left"},
      {5760, 45080ms, "slot 1 of 10: 5,760 of 5,760 entries, about 6 min 55 s left"},
      {7713, 60000ms, "slot 2 of 10: 1,953 of 5,760 entries, about 6 min 34 s left"},
      {57600, 460000ms, "slot 10 of 10: 5,760 of 5,760 entries, about 0 s left"},
  };
  DownloadPace pace;
  for (const auto& step : steps) EXPECT_EQ(pace.Report(step.done, 57600, 10, start + step.at), step.text) << step.done;
}
