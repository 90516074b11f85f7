// The activity log: stamped lines, log.txt appending and emptying.

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "bus/status_log.h"
#include "tests/bus/recording_log.h"
#include "tests/support/core_fixture.h"

namespace {
struct tm FixedTime(int year, int month, int day, int hour, int minute, int second) {
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

class StatusLogTest : public ::testing::Test {
 protected:
  TempCurrentDirectory cwd_;
  RecordingLog log_;
};
}  // namespace

TEST(StatusLogStamp, DateAndTimeTwoDigitsEachWithLeadingZeros) {
  EXPECT_EQ(StampedLine("Logging Started Successfully", FixedTime(2009, 3, 7, 14, 5, 59)),
            "03/07/09 14:05:59: Logging Started Successfully");
  EXPECT_EQ(StampedLine("x", FixedTime(2010, 12, 31, 0, 0, 0)), "12/31/10 00:00:00: x");
}

TEST(StatusLogStamp, OverlongMessageIsCutToTheLineBuffer) {
  const std::string line = StampedLine(std::string(400, 'm'), FixedTime(2009, 3, 7, 14, 5, 59));
  EXPECT_EQ(line.size(), 255u);  // 256 characters with the terminator
  EXPECT_EQ(line.substr(0, 19), "03/07/09 14:05:59: ");
}

TEST_F(StatusLogTest, MessageShownBareAndStampedAndAppendedToTheFile) {
  log_.LogStatus("Error starting logging.");
  log_.LogStatus("Logging Started Successfully");
  ASSERT_EQ(log_.messages.size(), 2u);
  EXPECT_EQ(log_.messages[0], "Error starting logging.");
  const std::regex stamped(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d: Error starting logging\.)");
  EXPECT_TRUE(std::regex_match(log_.stampedLines[0], stamped)) << log_.stampedLines[0];
  // The file holds the same stamped lines, oldest first, each ended by "\n".
  EXPECT_EQ(ReadWholeFile(kLogFileName), log_.stampedLines[0] + "\n" + log_.stampedLines[1] + "\n");
}

TEST_F(StatusLogTest, ResetEmptiesTheFileAndTheNextMessageMakesItOneLine) {
  log_.LogStatus("old");
  EXPECT_FALSE(ResetLogFile());
  EXPECT_TRUE(std::filesystem::exists(kLogFileName));
  EXPECT_EQ(ReadWholeFile(kLogFileName), "");
  log_.LogStatus("new");
  EXPECT_EQ(ReadWholeFile(kLogFileName), log_.stampedLines[1] + "\n");
}

TEST_F(StatusLogTest, ResetCreatesAMissingFile) {
  EXPECT_FALSE(ResetLogFile());
  EXPECT_TRUE(std::filesystem::is_regular_file(kLogFileName));
}

// Tests run as root, where a read-only mode does not stop a write; a
// directory named log.txt cannot be opened as a file by anyone.
TEST_F(StatusLogTest, UnwritableFileStillShowsTheMessageAndIsLeftAlone) {
  std::filesystem::create_directory(kLogFileName);
  log_.LogStatus("Starting Download.");
  ASSERT_EQ(log_.messages.size(), 1u);
  EXPECT_EQ(log_.messages[0], "Starting Download.");
  EXPECT_TRUE(std::filesystem::is_directory(kLogFileName));
  EXPECT_TRUE(std::filesystem::is_empty(kLogFileName));
  EXPECT_TRUE(ResetLogFile());
}
