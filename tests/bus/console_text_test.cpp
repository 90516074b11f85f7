// What the console and the logging window say around their commands: the
// question before an energy reset, the grouped numbers, the download's
// progress with the time left at the line's pace.

#include <gtest/gtest.h>

#include "bus/console_commands.h"
#include "bus/download_progress.h"
#include "meter/reading_format.h"
#include "modbus/model.h"

TEST(ConsoleText, ResetQuestionNamesTheMeterAndItsKwh) {
  EXPECT_EQ(ResetKwhQuestion(Meter{9, ModelQM4B, "", ""}, 21809.2),
            "Reset the kWh of meter 09 (QM4B), now 21,809.2 kWh, to 0? This cannot be undone.");
  EXPECT_EQ(ResetKwhQuestion(Meter{63, ModelQM4A, "", ""}, 999.96),
            "Reset the kWh of meter 63 (QM4A), now 1,000.0 kWh, to 0? This cannot be undone.");
  EXPECT_EQ(ResetKwhQuestion(Meter{3, ModelQM4C, "", ""}, std::nullopt),
            "Reset the kWh of meter 03 (QM4C) to 0? This cannot be undone.");
}

TEST(ConsoleText, NumbersGroupedByThousands) {
  const struct {
    double value;
    int decimals;
    const char* text;
  } cases[] = {{0, 0, "0"},         {999, 0, "999"},       {1000, 0, "1,000"},          {5760, 0, "5,760"},
               {57600, 0, "57,600"}, {1234567, 0, "1,234,567"}, {-1234.5, 1, "-1,234.5"}, {100000.04, 1, "100,000.0"}};
  for (const auto& c : cases) EXPECT_EQ(GroupedNumber(c.value, c.decimals), c.text) << c.value;
}

TEST(ConsoleText, DownloadProgressCountsTheSlotsEntriesAndTheTimeLeft) {
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
      {5761 + 1952, 60000ms, "slot 2 of 10: 1,953 of 5,760 entries, about 6 min 34 s left"},
      {57600, 460000ms, "slot 10 of 10: 5,760 of 5,760 entries, about 0 s left"},
  };
  DownloadPace pace;
  for (const auto& step : steps) EXPECT_EQ(pace.Report(step.done, 57600, 10, start + step.at), step.text) << step.done;
}
