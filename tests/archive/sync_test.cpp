// The sync against qm4sim's log into a real SQLite file: what each case of
// the log adds, gaps, conflicts and runs, and the archive read back.

#include "archive/export.h"
#include "bus/download.h"
#include "tests/archive/sync_fixture.h"

namespace {
struct SyncStep {
  std::vector<std::string> before;  // sim commands before the sync
  std::vector<Step> during;
  long added;
  long conflicts;
  bool newRun;
  long gap;
  long transactions;  // -1: not counted
};

// Each run as segments of entries numbered first..last, one sub-interval
// apart within a segment.
using Segments = std::vector<std::vector<std::pair<int, int>>>;

struct SyncCase {
  const char* name;
  const char* tz;  // nullptr: as the test runs
  std::vector<SyncStep> steps;
  Segments runs;
};

const SyncCase kCases[] = {
    {"FirstSyncThenNothingNewCostsOneRead", nullptr,
     {{{"prefill 3 20"}, {}, 20, 0, false, 0, -1}, {{}, {}, 0, 0, false, 0, 1}},
     {{{1, 20}}}},
    {"OnlyWhatWasLoggedSince", nullptr,
     {{{"prefill 3 20"}, {}, 20, 0, false, 0, -1}, {{"elapse 3 5"}, {}, 5, 0, false, 0, -1},
      {{"elapse 3 130"}, {}, 130, 0, false, 0, -1}},
     {{{1, 155}}}},
    // The buffer holds 5760: entries 11 to 20 dropped out before the sync.
    {"MoreThanTheBufferHoldsIsAGap", nullptr,
     {{{"prefill 3 10"}, {}, 10, 0, false, 0, -1}, {{"elapse 3 5770"}, {}, 5760, 0, false, 10, -1},
      {{"elapse 3 2"}, {}, 2, 0, false, 0, -1}},
     {{{1, 10}, {21, 5782}}}},
    // Entry 26 is logged while slot 4 (register 6) is read: slots 1 to 3
    // lack it, so it waits for the next sync, which takes it alone.
    {"LoggedDuringTheSync", nullptr,
     {{{"prefill 3 20"}, {}, 20, 0, false, 0, -1},
      {{"elapse 3 5"}, {{"Reading Data for Register 6.", "elapse 3"}}, 5, 0, false, 0, -1},
      {{}, {}, 1, 0, false, 0, -1}},
     {{{1, 26}}}},
    // The same during a first sync: the slots read after entry 21 was
    // logged read one entry more, so entry 1 is whole in every slot.
    {"LoggedDuringTheFirstSync", nullptr,
     {{{"prefill 3 20"}, {{"Reading Data for Register 6.", "elapse 3"}}, 20, 0, false, 0, -1},
      {{}, {}, 1, 0, false, 0, -1}},
     {{{1, 21}}}},
    // Entry 26 is logged before slot 1 is read: every slot reads it, and
    // the next sync finds nothing new.
    {"LoggedBeforeTheFirstSlot", nullptr,
     {{{"prefill 3 20"}, {}, 20, 0, false, 0, -1},
      {{"elapse 3 5"}, {{"Registers 1, 2,", "elapse 3"}}, 6, 0, false, 0, -1},
      {{}, {}, 0, 0, false, 0, 1}},
     {{{1, 26}}}},
    // A full log read while it logs: entry 1 drops out before the slots
    // after slot 3 reach it (gone from the meter: the run starts at 2), and
    // those slots read no further than the 5760 the log window holds.
    {"LoggedDuringASyncOfAFullLog", nullptr,
     {{{"prefill 3 5760"}, {{"Reading Data for Register 6.", "elapse 3"}}, 5759, 0, false, 0, -1},
      {{}, {}, 1, 0, false, 0, -1}},
     {{{2, 5761}}}},
    {"RestartedWithOtherSlots", nullptr,
     {{{"prefill 3 20"}, {}, 20, 0, false, 0, -1}, {{"set 3 168 5", "set 3 128 16640", "elapse 3 4"}, {}, 4, 0, true, 0, -1}},
     {{{1, 20}}, {{1, 4}}}},
    {"RestartedWithAnotherSubInterval", nullptr,
     {{{"prefill 3 20"}, {}, 20, 0, false, 0, -1}, {{"set 3 149 120", "set 3 128 16640", "elapse 3 3"}, {}, 3, 0, true, 0, -1}},
     {{{1, 20}}, {{1, 3}}}},
    {"ErasedWithNothingLoggedSince", nullptr,
     {{{"prefill 3 20"}, {}, 20, 0, false, 0, -1}, {{"set 3 128 16640"}, {}, 0, 0, false, 0, 1},
      {{"elapse 3 2"}, {}, 2, 0, true, 0, -1}},
     {{{1, 20}}, {{1, 2}}}},
    {"ErasedAndLoggedAsManyAgain", nullptr,
     {{{"prefill 3 20"}, {}, 20, 0, false, 0, -1}, {{"set 3 128 16640", "elapse 3 20"}, {}, 20, 0, true, 0, -1}},
     {{{1, 20}}, {{1, 20}}}},
    // A full log has no count to go by: its newest entry moved by half a
    // sub-interval, all its entries are taken again as a new run.
    {"ClockSetOnAFullLogIsANewRun", nullptr,
     {{{"prefill 3 5760"}, {}, 5760, 0, false, 0, -1},
      {{"clock 3 {newest+30}", "capture 3"}, {}, 5760, 0, true, 0, -1}},
     {{{1, 5760}}, {{2, 5761}}}},
    // Entries 21 to 23 are logged at the instants of entries 11 to 13: the
    // archived ones stay.
    {"ClockSetBackGivesConflicts", nullptr,
     {{{"prefill 3 20"}, {}, 20, 0, false, 0, -1},
      {{"clock 3 {newest-540}", "capture 3", "elapse 3 2"}, {}, 0, 3, false, 0, -1}},
     {{{1, 20}}}},
    {"ClockSetForwardGoesOnInTheRun", nullptr,
     {{{"prefill 3 20"}, {}, 20, 0, false, 0, -1}, {{"clock 3 {newest+3630}", "capture 3", "elapse 3 1"}, {}, 2, 0, false, 0, -1}},
     {{{1, 20}, {21, 22}}}},
    // The meter's clock follows daylight saving time: 02:00 to 02:45 come
    // twice, and each entry still gets its own UTC instant.
    {"DaylightSavingTimeEnds", "Europe/Berlin",
     {{{"set 3 149 900", "clock 3 2026 10 25 01 45 00", "capture 3"}, {}, 1, 0, false, 0, -1},
      {{"elapse 3 4", "clock 3 2026 10 25 02 00 00", "capture 3", "elapse 3 4"}, {}, 9, 0, false, 0, -1}},
     {{{1, 10}}}},
};

void PrintTo(const SyncCase& c, std::ostream* out) { *out << c.name; }

class SyncCases : public ArchiveSync, public ::testing::WithParamInterface<SyncCase> {
 protected:
  void TearDown() override {
    if (tz_.empty()) unsetenv("TZ"); else setenv("TZ", tz_.c_str(), 1);
    tzset();
    ArchiveSync::TearDown();
  }
  std::string tz_ = std::getenv("TZ") != nullptr ? std::getenv("TZ") : "";
};
}  // namespace

// Nothing lost, nothing twice: each step adds what the meter logged since,
// and the archive holds every entry numbered as the meter numbered it, each
// a sub-interval after the one before it.
TEST_P(SyncCases, AddsExactlyWhatIsNew) {
  const SyncCase& c = GetParam();
  if (c.tz != nullptr) setenv("TZ", c.tz, 1), tzset();
  StartMeter();
  for (size_t i = 0; i < c.steps.size(); ++i) {
    const SyncStep& step = c.steps[i];
    for (const std::string& command : step.before) Sim(Expand(command));
    const unsigned long before = Transactions();
    sim_->TakeEvents(0, 0);
    const SyncResult result = Sync(step.during);
    // The meter's log is never changed: the sync writes only slot selections.
    for (const std::string& event : sim_->TakeEvents(0, 0)) {
      if (event.rfind("write", 0) == 0) {
        EXPECT_EQ(event.rfind("write 3 157 ", 0), 0u) << event;
      }
    }
    ASSERT_TRUE(result.AllArchived()) << "step " << i << ": " << result.failure << result.archives[0].error;
    const ArchiveSyncReport& report = result.archives[0];
    EXPECT_EQ(report.outcome.added, step.added) << "step " << i;
    EXPECT_EQ(report.outcome.conflicts, step.conflicts) << "step " << i;
    EXPECT_EQ(report.newRun, step.newRun) << "step " << i;
    EXPECT_EQ(report.gap ? report.gap->entries : 0, step.gap) << "step " << i;
    if (step.transactions >= 0) {
      EXPECT_EQ(static_cast<long>(Transactions() - before), step.transactions) << "step " << i;
    }
  }
  const auto runs = Runs();
  ASSERT_EQ(runs.size(), c.runs.size());
  const time_t step = std::stoi(Sim("get 3 149").substr(3));
  for (size_t r = 0; r < runs.size(); ++r) {
    std::vector<int> expected, archived;
    for (const auto& [first, last] : c.runs[r])
      for (int n = first; n <= last; ++n) expected.push_back(n);
    for (const auto& [time, number] : runs[r]) archived.push_back(number);
    EXPECT_EQ(archived, expected) << "run " << r + 1;
    for (size_t e = 1; e < runs[r].size() && r + 1 == runs.size(); ++e) {
      const bool segmentStart = std::any_of(c.runs[r].begin(), c.runs[r].end(),
                                            [&](const auto& s) { return s.first == runs[r][e].second; });
      if (!segmentStart) {
        EXPECT_EQ(runs[r][e].first - runs[r][e - 1].first, step) << "entry " << runs[r][e].second;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Archive, SyncCases, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

namespace {
// step: what the monitor says it moved the clock by, a sub-interval before
// the entry captured (so "{newest+50}" is a step of -10 s; +31 for +30 is a
// clock read a second off).
struct ExpectedStep {
  const char* name;
  int prefill;
  const char* set;
  long step;
  bool newRun;  // false: a step within the clock's one second is none
};
void PrintTo(const ExpectedStep& c, std::ostream* out) { *out << c.name; }
class ExpectedSteps : public ArchiveSync, public ::testing::WithParamInterface<ExpectedStep> {};
}  // namespace

// A step the monitor made and said: the entries after it alone begin a run
// of their own, without conflicts, whether the log counts or is full; a
// step of a second either way keeps the run.
TEST_P(ExpectedSteps, BeginARunOfTheNewEntriesBeyondASecond) {
  const ExpectedStep& c = GetParam();
  StartMeter();
  Sim("prefill 3 " + std::to_string(c.prefill));
  ASSERT_TRUE(Sync().AllArchived());
  Sim(Expand(c.set));
  Sim("capture 3");
  const SyncResult result = Sync({}, {}, c.step);
  ASSERT_TRUE(result.AllArchived()) << result.failure;
  const ArchiveSyncReport& report = result.archives[0];
  EXPECT_EQ(report.outcome.added, 1);
  EXPECT_EQ(report.outcome.conflicts, 0);
  EXPECT_EQ(report.newRun, c.newRun);
  const std::string reason = "the monitor set the meter's clock by " + std::string(c.step > 0 ? "+" : "") +
                             std::to_string(c.step) + " s";
  EXPECT_EQ(report.newRunReason, c.newRun ? reason : "");
  const auto runs = Runs();
  ASSERT_EQ(runs.size(), c.newRun ? 2u : 1u);
  if (!c.newRun) return;
  EXPECT_EQ(runs[0].size(), static_cast<size_t>(c.prefill));
  ASSERT_EQ(runs[1].size(), 1u);
  EXPECT_EQ(runs[1][0].second, c.prefill + 1);
}

INSTANTIATE_TEST_SUITE_P(Archive, ExpectedSteps,
                         ::testing::Values(ExpectedStep{"Back", 20, "clock 3 {newest+50}", -10, true},
                                           ExpectedStep{"ForwardOnAFullLog", 5760, "clock 3 {newest+90}", 31, true},
                                           ExpectedStep{"TwoSecondsBack", 20, "clock 3 {newest+58}", -2, true},
                                           ExpectedStep{"ASecondForward", 20, "clock 3 {newest+60}", 1, false},
                                           ExpectedStep{"ASecondBackOnAFullLog", 5760, "clock 3 {newest+60}", -1, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A log erased and logged again to more entries than before: the entry
// where the archive's newest should be is another one, so the whole log is
// a new run (a log of error words, which differ where sequence numbers
// would not).
TEST_F(ArchiveSync, ErasedAndLoggedMoreThanBeforeIsANewRun) {
  StartMeter({});
  Sim("set 3 168 146");
  Sim("set 3 145 7");
  Sim("prefill 3 20");
  ASSERT_EQ(Sync().archives[0].outcome.added, 20);
  Sim("set 3 128 16640");
  Sim("set 3 145 9");
  Sim("elapse 3 25");
  const SyncResult result = Sync();
  ASSERT_TRUE(result.AllArchived());
  EXPECT_TRUE(result.archives[0].newRun);
  EXPECT_EQ(result.archives[0].outcome.added, 25);
  EXPECT_EQ(result.archives[0].outcome.run, 2);
}

// A meter synced in three steps exports byte for byte what one download of
// it writes: error word and date columns, energy and float pairs.
TEST_F(ArchiveSync, ExportOfStepsIsTheDownloadsFile) {
  StartMeter({});
  const int slots[] = {3, 26, 146, 155, 156, 157, 1, 2, 261, 262};
  for (int i = 0; i < 10; ++i) Sim("set 3 " + std::to_string(168 + i) + " " + std::to_string(slots[i]));
  Sim("set 3 145 4660");
  Sim("prefill 3 30");
  for (const char* more : {"elapse 3 4", "elapse 3 5", ""}) {
    ASSERT_TRUE(Sync().AllArchived());
    if (*more != '\0') Sim(more);
  }
  SyncStatusLog quiet;
  ASSERT_TRUE(DownloadLoggedData(link_, pickedMeter_, quiet));
  FILE* file = std::fopen("export.csv", "w");
  ExportRequest request;
  ExportOutcome outcome;
  std::string error;
  ASSERT_TRUE(PlanExport(store_, request, outcome, &error)) << error;
  ASSERT_TRUE(WriteExport(store_, request, file, outcome, &error)) << error;
  std::fclose(file);
  EXPECT_EQ(outcome.rows, 39);
  EXPECT_EQ(ReadWholeFile("export.csv"), ReadWholeFile("03-data.csv"));
}

namespace {
struct ReportCase {
  const char* name;
  ArchiveSyncReport report;
  std::vector<std::string> lines;
};

ArchiveSyncReport Report(bool ok, const char* error, bool newRun, StoreOutcome outcome, std::optional<Gap> gap) {
  ArchiveSyncReport report;
  report.url = "sqlite:a.sqlite";
  report.ok = ok;
  report.error = error;
  report.newRun = newRun;
  report.newRunReason = newRun ? "the meter's log was erased and started again" : "";
  report.outcome = outcome;
  report.gap = gap;
  return report;
}

// 1768477620 is 2026-01-15T11:47:00Z.
const ReportCase kReports[] = {
    {"NothingArchivedYet", Report(true, "", false, {}, {}), {"COM1_3 -> sqlite:a.sqlite: 0 new entries"}},
    {"OneEntry", Report(true, "", false, {1, 1, 0, 0, 1768477620, 1768477620, 1}, {}),
     {"COM1_3 -> sqlite:a.sqlite: 1 new entry, log run 1 holds 1 from 2026-01-15T11:47:00Z to 2026-01-15T11:47:00Z"}},
    {"NewRunGapConflicts", Report(true, "", true, {2, 5760, 0, 2, 1768477620, 1768823160, 5760}, Gap{1768477500, 1768477620, 1}),
     {"COM1_3 -> sqlite:a.sqlite: 5760 new entries, log run 2 holds 5760 from 2026-01-15T11:47:00Z to 2026-01-19T11:46:00Z",
      "COM1_3 -> sqlite:a.sqlite: a new log run: the meter's log was erased and started again",
      "COM1_3 -> sqlite:a.sqlite: gap: 1 entry lost between 2026-01-15T11:45:00Z and 2026-01-15T11:47:00Z (the "
      "meter dropped it before it could be read)",
      "COM1_3 -> sqlite:a.sqlite: 2 conflicts: instants already archived with other values keep their archived values"}},
    {"OneConflict", Report(true, "", false, {1, 0, 0, 1, 1768477620, 1768477620, 1}, {}),
     {"COM1_3 -> sqlite:a.sqlite: 0 new entries, log run 1 holds 1 from 2026-01-15T11:47:00Z to 2026-01-15T11:47:00Z",
      "COM1_3 -> sqlite:a.sqlite: 1 conflict: instants already archived with other values keep their archived values"}},
    {"Failed", Report(false, "cannot write the archive a.sqlite: disk I/O error", false, {}, {}),
     {"COM1_3 -> sqlite:a.sqlite: cannot write the archive a.sqlite: disk I/O error; nothing of this sync counts as "
      "archived there"}},
};

struct TimeCase {
  const char* text;
  const char* tz;
  bool ok;
  time_t time;
};

const TimeCase kTimes[] = {
    {"2026-01-15", "UTC", true, 1768435200},           {"2026-01-15T11:47Z", "UTC", true, 1768477620},
    {"2026-01-15 11:47:00", "UTC", true, 1768477620},  {"2026-07-01T12:00", "Europe/Berlin", true, 1782900000},
    {"2026-07-01T12:00Z", "Europe/Berlin", true, 1782907200}, {"2026-01-15X", "UTC", false, 0},
    {"2026-01-15T11", "UTC", false, 0},                {"2026-01-15T11:47:00+01", "UTC", false, 0},
    {"yesterday", "UTC", false, 0},                    {"2026-11-31", "UTC", false, 0},
    {"2026-02-29", "UTC", false, 0},                   {"2028-02-29", "UTC", true, 1835395200},
    {"2026-13-01", "UTC", false, 0},                   {"2026-00-10", "UTC", false, 0},
    {"2026-12-07T24:00", "UTC", false, 0},             {"2026-12-07T12:60", "UTC", false, 0},
    {"2026-12-07T12:49:60Z", "UTC", false, 0},         {"2026-12-+7", "UTC", false, 0},
};
}  // namespace

TEST(ArchiveWords, SyncReportLines) {
  for (const ReportCase& c : kReports) EXPECT_EQ(SyncReportLines(kMeter, c.report), c.lines) << c.name;
}

// Local unless it ends in Z.
TEST(ArchiveWords, ExportTimes) {
  const char* tz = std::getenv("TZ");
  const std::string previous = tz != nullptr ? tz : "";
  for (const TimeCase& c : kTimes) {
    setenv("TZ", c.tz, 1);
    tzset();
    time_t time = 0;
    EXPECT_EQ(ParseArchiveTime(c.text, time), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(time, c.time) << c.text;
    }
  }
  if (previous.empty()) unsetenv("TZ"); else setenv("TZ", previous.c_str(), 1);
  tzset();
}
