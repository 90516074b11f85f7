// The download against qm4sim's log: every CSV field compared with values
// the test works out itself from the meter's raw registers.

#include "bus/download.h"

#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include <signal.h>
#include <sys/resource.h>

#include "tests/bus/recording_log.h"
#include "tests/support/core_fixture.h"

namespace {
constexpr int kSlots = 10;
constexpr const char* kDataFile = "03-data.csv";

// What the meter holds, read through qm4sim's control channel.
struct MeterLogView {
  int timeStep = 0;
  int count = 0;
  time_t newest = 0;
  int slots[kSlots] = {};
  int exponents[4] = {};
  std::map<int, std::array<int, kSlots>> raw;  // entry -> raw value per slot
};

std::string CTimeText(time_t t) {
  struct tm local {};
  localtime_r(&t, &local);
  char text[64];
  std::strftime(text, sizeof text, "%a %b %d %H:%M:%S %Y", &local);
  return text;
}

time_t LocalMeterTime(int first, int second, int third) {
  struct tm t {};
  t.tm_mon = (first & 0xFF) - 1;
  t.tm_mday = (first >> 8) & 0xFF;
  t.tm_year = (second & 0xFF) + 100;
  t.tm_hour = (second >> 8) & 0xFF;
  t.tm_min = third & 0xFF;
  t.tm_sec = (third >> 8) & 0xFF;
  t.tm_isdst = -1;
  return mktime(&t);
}

std::string Fixed3(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", static_cast<double>(static_cast<float>(value)));
  return text;
}

int LastSlotHolding(const MeterLogView& v, int number) {
  for (int s = kSlots - 1; s >= 0; --s)
    if (v.slots[s] == number) return s;
  return -1;
}

// The numeric column of one slot for one entry, by the meter's classes.
std::string ExpectedValue(const MeterLogView& v, int slot, int entry) {
  const auto& raw = v.raw.at(entry);
  const int n = v.slots[slot];
  const double value = raw[slot];
  auto scaled = [&](int exponent) { return Fixed3(value * std::pow(10.0, v.exponents[exponent])); };
  if (n == 1 || n == 2 || n == 27 || n == 28 || n == 29 || n == 30) {
    const bool high = n % 2 == 1;
    const int partner = LastSlotHolding(v, high ? n + 1 : n - 1);
    if (partner < 0) return Fixed3(value);  // a half alone: raw, unscaled
    const double count = high ? value * 65536.0 + raw[partner] : raw[partner] * 65536.0 + value;
    return Fixed3(count * std::pow(10.0, v.exponents[3]));
  }
  if ((n >= 3 && n <= 5) || (n >= 10 && n <= 12) || (n >= 31 && n <= 42)) return scaled(2);
  if (n == 6 || (n >= 13 && n <= 15)) return Fixed3(value * 0.0001);
  if (n == 7 || n == 8 || (n >= 16 && n <= 21)) return scaled(1);
  if (n == 9 || (n >= 22 && n <= 24)) return scaled(0);
  if (n == 26) return Fixed3(value * 0.01);
  if (n >= 257 && n <= 336) {
    const bool high = n % 2 == 1;
    const int partner = LastSlotHolding(v, high ? n + 1 : n - 1);
    if (partner < 0) return "";
    const uint32_t bits = high ? (static_cast<uint32_t>(raw[slot]) << 16) | raw[partner]
                               : (static_cast<uint32_t>(raw[partner]) << 16) | raw[slot];
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return Fixed3(f);
  }
  return "";  // 0, 25, 146, 155..157: no numeric value
}

std::string ExpectedRow(const MeterLogView& v, int entry) {
  const time_t t = v.newest - static_cast<time_t>(entry) * v.timeStep;
  char head[96];
  std::snprintf(head, sizeof head, "%d,0x%08X,%s", entry + 1, static_cast<unsigned>(t), CTimeText(t).c_str());
  std::string row = head;
  for (int slot = 0; slot < kSlots; ++slot) row += "," + ExpectedValue(v, slot, entry);
  const auto& raw = v.raw.at(entry);
  if (const int error = LastSlotHolding(v, 146); error >= 0) {
    char column[16];
    std::snprintf(column, sizeof column, ",0x%04X", raw[error]);
    row += column;
  }
  const int d1 = LastSlotHolding(v, 155), d2 = LastSlotHolding(v, 156), d3 = LastSlotHolding(v, 157);
  if (d1 >= 0 && d2 >= 0 && d3 >= 0) row += "," + CTimeText(LocalMeterTime(raw[d1], raw[d2], raw[d3]));
  return row;
}

class Download : public CoreOverSim {
 protected:
  // A QM4C at 3 with logging paused, so no entry is added while a test runs.
  void StartMeter(int subInterval, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"--meter", "3:QM4C", "--subinterval", std::to_string(subInterval)};
    args.insert(args.end(), extra.begin(), extra.end());
    StartBus(args);
    Sim("set 3 158 2");
    pickedMeter_.address = 3;
    pickedMeter_.model = 3;
  }
  void SetSlots(const std::array<int, kSlots>& slots) {
    for (int i = 0; i < kSlots; ++i) Sim("set 3 " + std::to_string(168 + i) + " " + std::to_string(slots[i]));
  }
  int Get(int address) {
    const std::string reply = sim_->Command("get 3 " + std::to_string(address));
    EXPECT_EQ(reply.rfind("ok ", 0), 0u) << reply;
    return std::stoi(reply.substr(3));
  }
  // entries: which rows to fetch raw values for (all when empty).
  MeterLogView View(std::set<int> entries = {}) {
    MeterLogView v;
    v.timeStep = std::max(Get(149), 10);
    v.count = Get(160) != 0 ? 5760 : Get(162);
    v.newest = LocalMeterTime(Get(165), Get(166), Get(167));
    for (int i = 0; i < kSlots; ++i) v.slots[i] = Get(168 + i);
    for (int i = 0; i < 4; ++i) v.exponents[i] = static_cast<int16_t>(Get(137 + i));
    if (entries.empty())
      for (int e = 0; e < v.count; ++e) entries.insert(e);
    for (int slot = 0; slot < kSlots; ++slot) {
      Sim("set 3 157 " + std::to_string(slot + 1));
      for (int e : entries) v.raw[e][slot] = Get(7999 + e);
    }
    Sim("set 3 157 0");
    sim_->TakeEvents(0, 0);
    return v;
  }
  std::vector<std::string> CsvLines() { return SplitLines(ReadWholeFile(kDataFile)); }
  std::set<std::string> FolderContents() {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(".")) names.insert(entry.path().filename());
    return names;
  }
  void ExpectRows(const MeterLogView& v) {
    const std::vector<std::string> lines = CsvLines();
    ASSERT_EQ(lines.size(), static_cast<size_t>(v.count) + 1);
    for (const auto& [entry, raw] : v.raw) EXPECT_EQ(lines[entry + 1], ExpectedRow(v, entry)) << "entry " << entry;
  }
  std::vector<std::string> SelectorWrites() {
    std::vector<std::string> writes;
    for (const std::string& event : Writes())
      if (event.rfind("write 3 157 ", 0) == 0) writes.push_back(event.substr(12));
    return writes;
  }
  RecordingLog log_;
};

const std::vector<std::string> kEverySlotSelectedAndReleased = {"1", "0", "2", "0", "3", "0", "4", "0", "5", "0", "6",
                                                                "0", "7", "0", "8", "0", "9", "0", "10", "0", "0"};
}  // namespace

TEST_F(Download, EmptyLogGivesTheHeaderOnlyAndStillSelectsEverySlot) {
  StartMeter(900);
  SetSlots({3, 26, 146, 155, 156, 157, 0, 0, 0, 0});
  Sim("prefill 3 0");
  std::ofstream(kDataFile) << "an older download\n";
  ASSERT_TRUE(DownloadLoggedData(link_, pickedMeter_, log_));
  EXPECT_EQ(ReadWholeFile(kDataFile),
            "Data#, UTC, Date/Time,KW,HZ,ERROR,DAY-MONTH,HOUR-YEAR,SECOND-MINUTE,,,,,Error,Date/Time\n");
  EXPECT_EQ(FolderContents(), (std::set<std::string>{kDataFile, "log.txt"}));
  EXPECT_EQ(SelectorWrites(), kEverySlotSelectedAndReleased);
  ASSERT_GE(log_.messages.size(), 6u);
  EXPECT_EQ(log_.messages[0], "Starting Download.");
  EXPECT_EQ(log_.clears, 1);
  EXPECT_EQ(log_.messagesAtClear, 1u);
  EXPECT_EQ(log_.messages[1], "\"Download Logged Data\" button pressed.");
  EXPECT_EQ(log_.messages[2], "Reading data from meter. . .");
  EXPECT_EQ(log_.messages[3], "Interval = 900 secs.");
  EXPECT_EQ(log_.messages[4], "Registers 3, 26, 146, 155, 156, 157, 0, 0, 0, 0");
  EXPECT_EQ(log_.messages[5], "Reading Data for Register 3.");
  EXPECT_EQ(log_.messages.back(), "Data written to file \"03-data.csv\". Log available at \"log.txt\"");
  // log.txt describes this download from the button line on.
  std::string expectedFile;
  for (size_t i = 1; i < log_.stampedLines.size(); ++i) expectedFile += log_.stampedLines[i] + "\n";
  EXPECT_EQ(ReadWholeFile("log.txt"), expectedFile);
}

// Sub-interval 9 is taken as 10 s; energy pair, scaled classes with exponents
// of both signs, a float pair and a free slot.
TEST_F(Download, HundredThirtyEntriesInTwoSectionsEachFieldConverted) {
  StartMeter(9);
  SetSlots({1, 2, 3, 6, 8, 9, 26, 261, 262, 0});
  Sim("prefill 3 130");
  Sim("set 3 137 " + std::to_string(0xFFFD));  // current 10^-3
  Sim("set 3 138 " + std::to_string(0xFFFF));  // voltage 10^-1
  Sim("set 3 139 2");                           // power 10^2
  Sim("set 3 140 " + std::to_string(0xFFFE));  // energy 10^-2
  const MeterLogView view = View();
  ASSERT_EQ(view.timeStep, 10);
  ASSERT_TRUE(DownloadLoggedData(link_, pickedMeter_, log_));
  EXPECT_EQ(CsvLines()[0], "Data#, UTC, Date/Time,KWH,KWH,KW,PF,VLN,AMPS-AVG,HZ,KW,KW,");
  ExpectRows(view);
  EXPECT_EQ(log_.messages[3], "Interval = 10 secs.");
  const std::vector<std::string> sectionMessages(log_.messages.begin() + 6, log_.messages.begin() + 11);
  EXPECT_EQ(sectionMessages, (std::vector<std::string>{"Register 1: 130 entries available.",
                                                       "Register 1: Reading 125 Modbus points.",
                                                       "Register 1: 125 section points accumulated, 125 total points.",
                                                       "Register 1: Reading 5 Modbus points.",
                                                       "Register 1: 130 section points accumulated, 130 total points."}));
  EXPECT_EQ(log_.progress.back(), std::make_pair(1300L, 1300L));
}

// Each slot: its status block, the selection, sections of 125 and 5
// registers from the log window, the newest entry's time once more (whether
// the meter logged meanwhile), the release.
TEST_F(Download, SectionsAre125And5RegistersFromTheLogWindow) {
  StartMeter(900);
  Sim("prefill 3 130");
  ASSERT_TRUE(DownloadLoggedData(link_, pickedMeter_, log_));
  std::vector<std::string> expected{"read 3 149 14"};
  for (int slot = 1; slot <= kSlots; ++slot) {
    const std::string selected = std::to_string(slot);
    expected.insert(expected.end(), {"read 3 165 13", "write 3 157 " + selected, "read 3 7999 125", "read 3 8124 5",
                                     "read 3 165 3", "write 3 157 0"});
  }
  expected.insert(expected.end(), {"write 3 157 0", "read 3 137 4", "read 3 168 10"});
  EXPECT_EQ(sim_->TakeEvents(expected.size(), 2000), expected);
}

// A full log: 5760 whatever register 162 says; two error slots and two 157
// slots still give one error column and one date column, in step with the
// header. The meter's own time of each entry (the date column) matches the
// row's time at the meter's 900 s sub-interval.
TEST_F(Download, FullLogWithErrorAndDateColumns) {
  StartMeter(900);
  SetSlots({146, 155, 156, 157, 1, 258, 22, 27, 146, 157});
  Sim("set 3 145 4660");  // error word 0x1234
  Sim("prefill 3 5760");
  Sim("set 3 162 7");
  std::set<int> sample{0, 1, 2, 124, 125, 126, 2879, 5757, 5758, 5759};
  for (int e = 0; e < 5760; e += 233) sample.insert(e);
  const MeterLogView view = View(sample);
  ASSERT_EQ(view.count, 5760);
  ASSERT_TRUE(DownloadLoggedData(link_, pickedMeter_, log_));
  const std::vector<std::string> lines = CsvLines();
  EXPECT_EQ(lines[0],
            "Data#, UTC, Date/Time,ERROR,DAY-MONTH,HOUR-YEAR,SECOND-MINUTE,KWH,KWH,AMPS-A,KVAH,ERROR,SECOND-MINUTE"
            ",Error,Date/Time");
  ExpectRows(view);
  for (int e = 0; e < 5760; ++e) {
    const std::string& row = lines[e + 1];
    const size_t firstTime = row.find(',', row.find(',') + 1) + 1;
    const std::string rowTime = row.substr(firstTime, 24);
    ASSERT_EQ(row.substr(row.size() - 24), rowTime) << "entry " << e;
    ASSERT_EQ(row.substr(row.size() - 32, 8), ",0x1234,") << "entry " << e;
  }
  EXPECT_NE(std::find(log_.messages.begin(), log_.messages.end(), "Register 146: 5760 entries available."),
            log_.messages.end());
}

// Time step 0 is 10 s too; halves alone are raw; 257/258 is a float pair;
// two slots of 155 still give one date column.
TEST_F(Download, LoneEnergyHalvesFloatPairAndTimeStepFloor) {
  StartMeter(0);
  SetSlots({2, 28, 29, 30, 257, 258, 155, 156, 157, 155});
  Sim("prefill 3 20");
  const MeterLogView view = View();
  ASSERT_TRUE(DownloadLoggedData(link_, pickedMeter_, log_));
  EXPECT_EQ(CsvLines()[0],
            "Data#, UTC, Date/Time,KWH,KVAH,KVARH,KVARH,KWH,KWH,DAY-MONTH,HOUR-YEAR,SECOND-MINUTE,DAY-MONTH,Date/Time");
  ExpectRows(view);
  EXPECT_EQ(log_.messages[3], "Interval = 10 secs.");
}

TEST_F(Download, SectionRepeatedFiveTimesThenReadCarriesOn) {
  StartMeter(900);
  Sim("prefill 3 130");
  Sim("fault 3 exception 5 at 7999");
  const MeterLogView view = View();
  ASSERT_TRUE(DownloadLoggedData(link_, pickedMeter_, log_));
  EXPECT_EQ(std::count(log_.messages.begin(), log_.messages.end(), "Response Timeout Retry #5"), 1);
  ExpectRows(view);
}

// Register 162 is 16 bits: a count above the buffer's 10000 entries is cut
// to 10000 and nothing is stored beyond (the sanitizer build checks).
TEST_F(Download, EntryCountAboveCapacityNeverStoresPastTheBuffer) {
  StartMeter(900);
  Sim("prefill 3 10");
  Sim("set 3 162 12000");
  EXPECT_FALSE(DownloadLoggedData(link_, pickedMeter_, log_));  // the meter has no entries past 5760
  EXPECT_NE(std::find(log_.messages.begin(), log_.messages.end(), "Register 1: 10000 entries available."),
            log_.messages.end());
  EXPECT_EQ(log_.messages.back(), "Error while reading data: the meter refused a request (exception response).");
}

namespace {
// At a message starting with `at`, a qm4sim command, or "stop": asks the
// download to stop.
struct Step {
  std::string at;
  std::string command;
};

// Takes its steps in turn, each at the first message it fits.
class ScriptedLog : public RecordingLog {
 public:
  ScriptedLog(SimProcess& sim, std::vector<Step> steps) : sim_(sim), steps_(std::move(steps)) {}
  void Show(const std::string& message, const std::string& stamped) override {
    RecordingLog::Show(message, stamped);
    if (next_ == steps_.size() || message.rfind(steps_[next_].at, 0) != 0) return;
    const std::string& command = steps_[next_++].command;
    if (command == "stop")
      stop_ = true;
    else
      EXPECT_EQ(sim_.Command(command), "ok");
  }
  bool StopRequested() const override { return stop_; }

 private:
  SimProcess& sim_;
  std::vector<Step> steps_;
  size_t next_ = 0;
  bool stop_ = false;
};

struct FailureCase {
  const char* name;
  std::vector<std::string> simCommands;  // before the download
  bool closePort;
  std::vector<Step> script;
  rlim_t fileSizeLimit;  // 0: none
  std::vector<std::string> lastMessages;
  std::vector<std::string> selectorWrites;
};

const char* const kSlot2NewEntry = "Register 2: the meter logged a new entry while it was read; reading again.";
const char* const kSlot2Section = "Register 2: Reading 125 Modbus points.";
const char* const kStopped =
    "Download stopped; \"03-data.csv\" was not written. Its log is in \"log-stopped.txt\".";
const char* const kSilent = "Error while reading data: the meter did not answer.";
const char* const kRefused = "Error while reading data: the meter refused a request (exception response).";

const FailureCase kFailureCases[] = {
    {"SilentMeter", {"fault 3 silent"}, false, {}, 0,
     {"Reading data from meter. . .", "Response Timeout Retry #1", "Response Timeout Retry #2",
      "Response Timeout Retry #3", "Response Timeout Retry #4", "Response Timeout Retry #5", kSilent},
     {}},
    {"PortClosed", {}, true, {}, 0,
     {"Reading data from meter. . .", "Error while reading data: the port is not open."}, {}},
    {"SectionGivenUp", {"fault 3 exception 6 at 7999"}, false, {}, 0,
     {"Register 1: Reading 125 Modbus points.", "Response Timeout Retry #1", "Response Timeout Retry #2",
      "Response Timeout Retry #3", "Response Timeout Retry #4", "Response Timeout Retry #5", kRefused},
     {"1", "0"}},
    {"HeaderReadFailed", {}, false, {{"Data written to file", "fault 3 exception 6 at 168"}}, 0,
     {"Data written to file \"03-data.csv\". Log available at \"log.txt\"", "Response Timeout Retry #1",
      "Response Timeout Retry #2", "Response Timeout Retry #3", "Response Timeout Retry #4",
      "Response Timeout Retry #5", kRefused},
     kEverySlotSelectedAndReleased},
    // The scale exponents are read after the last slot: without them the
    // values cannot be converted, so no file is written.
    {"ExponentsUnreadable", {"fault 3 exception 6 at 137"}, false, {}, 0,
     {"Register 0: 130 section points accumulated, 130 total points.", "Response Timeout Retry #1", "Response Timeout Retry #2",
      "Response Timeout Retry #3", "Response Timeout Retry #4", "Response Timeout Retry #5", kRefused},
     kEverySlotSelectedAndReleased},
    {"WriteError", {}, false, {}, 4096,
     {"Data written to file \"03-data.csv\". Log available at \"log.txt\"",
      "Error while writing file \"03-data.csv\"."},
     kEverySlotSelectedAndReleased},
    // The meter logs before every section of slot 2: its first pass and
    // three more readings of one section see the log move, then it gives up.
    {"LogKeptChanging", {"set 3 158 0"}, false, std::vector<Step>(6, {"Register 2: Reading", "elapse 3"}), 0,
     {kSlot2NewEntry, kSlot2Section, kSlot2NewEntry, kSlot2Section, kSlot2NewEntry, kSlot2Section, kSlot2NewEntry,
      kSlot2Section, "Error while reading data."},
     {"1", "0", "2", "0"}},
    // The newest entry moves by part of the 900 s time step.
    {"LogChanged", {"set 3 158 0"}, false,
     {{"Reading Data for Register 3.", "set 3 149 7"}, {"Register 3: 130 entries", "elapse 3"}}, 0,
     {"Register 3: Reading 125 Modbus points.", "Register 3: the meter's clock or log changed during the download.",
      "Error while reading data."},
     {"1", "0", "2", "0", "3", "0"}},
    // A stop sends nothing more but the release of the selected slot.
    {"StoppedBeforeASection", {}, false, {{kSlot2Section, "stop"}}, 0, {kSlot2Section, kStopped}, {"1", "0", "2", "0"}},
    {"StoppedWhileRetrying", {"fault 3 exception 6 at 7999"}, false, {{"Response Timeout Retry #2", "stop"}}, 0,
     {"Response Timeout Retry #1", "Response Timeout Retry #2", kStopped}, {"1", "0"}},
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

class FailedDownload : public Download, public ::testing::WithParamInterface<FailureCase> {};
}  // namespace

// Whatever ends a download early, the previous file stays byte for byte,
// no temporary file is left beside it and no slot stays selected. A stopped
// download leaves the previous log.txt with that file and sets its own
// aside; any other ends with its own log in log.txt.
TEST_P(FailedDownload, KeepsThePreviousFileAndReleasesTheSlot) {
  const FailureCase& c = GetParam();
  StartMeter(900);
  Sim("prefill 3 130");
  const std::string previous = "Data#, UTC, Date/Time,KW\r\n1,0x00000000,yesterday's,\x01\xff\n";
  std::ofstream(kDataFile, std::ios::binary) << previous;
  const std::string previousLog = "12/06/26 10:00:00: Data written to file \"03-data.csv\".\n";
  std::ofstream(kLogFileName, std::ios::binary) << previousLog;
  for (const std::string& command : c.simCommands) Sim(command);
  if (c.closePort) link_.Close();
  ScriptedLog log(*sim_, c.script);
  // A file size limit stands for a full disk: the write that crosses it fails.
  rlimit unlimited{};
  getrlimit(RLIMIT_FSIZE, &unlimited);
  const rlimit limited{c.fileSizeLimit, unlimited.rlim_max};
  signal(SIGXFSZ, SIG_IGN);
  if (c.fileSizeLimit > 0) setrlimit(RLIMIT_FSIZE, &limited);
  EXPECT_FALSE(DownloadLoggedData(link_, pickedMeter_, log));
  setrlimit(RLIMIT_FSIZE, &unlimited);
  ASSERT_GE(log.messages.size(), c.lastMessages.size());
  EXPECT_EQ(std::vector<std::string>(log.messages.end() - static_cast<long>(c.lastMessages.size()), log.messages.end()),
            c.lastMessages);
  EXPECT_EQ(ReadWholeFile(kDataFile), previous);
  const bool stopped = c.lastMessages.back() == kStopped;
  if (stopped) {
    EXPECT_EQ(ReadWholeFile(kLogFileName), previousLog);
    EXPECT_TRUE(ReadWholeFile(kStoppedLogFileName).ends_with(std::string(kStopped) + "\n"));
  } else {
    EXPECT_NE(ReadWholeFile(kLogFileName), previousLog);
  }
  std::set<std::string> files{kDataFile, kLogFileName};
  if (stopped) files.insert(kStoppedLogFileName);
  EXPECT_EQ(FolderContents(), files);
  EXPECT_EQ(SelectorWrites(), c.selectorWrites);
  EXPECT_EQ(Get(157), 0);
}

INSTANTIATE_TEST_SUITE_P(Download, FailedDownload, ::testing::ValuesIn(kFailureCases),
                         [](const auto& info) { return std::string(info.param.name); });

namespace {
struct InstantCase {
  const char* name;
  std::vector<Step> script;  // each step lets one 10 s sub-interval pass
  int newEntryMessages;
  int newestTimeReads;  // once after a slot, after each section once the log moved
  std::vector<std::string> rows;  // the first two and the last
};

// 130 entries numbered 1 (Sun Dec 31 23:38:30 2023) to 130 (Mon Jan 01
// 00:00:00 2024) in every slot; a sub-interval passing adds the next number,
// 10 s later. Slots 1 and 10 are the kWh pair (number x 65537), slot 2 the
// error word, the others power (the number itself).
const InstantCase kInstantCases[] = {
    // Logged before slot 4's sections: slots 1 to 3 have no value in the
    // newest row, slots 4 to 10 none in the oldest.
    {"BeforeASlot",
     {{"Reading Data for Register 4.", "elapse 3"}},
     1,
     3 + 3 + 6 * 2,
     {"1,0x6592008A,Mon Jan 01 00:00:10 2024,,,,131.000,131.000,131.000,131.000,131.000,131.000,,",
      "2,0x65920080,Mon Jan 01 00:00:00 2024,8519810.000,,130.000,130.000,130.000,130.000,130.000,130.000,130.000,"
      "8519810.000,0x0082",
      "131,0x6591FB76,Sun Dec 31 23:38:30 2023,,,1.000,,,,,,,,0x0001"}},
    // And again while slot 4 is read section by section: that section is
    // read once more, and two rows are new.
    {"AlsoDuringASection",
     {{"Reading Data for Register 4.", "elapse 3"}, {"Register 4: the meter logged", "elapse 3"}},
     2,
     3 + 4 + 6 * 2,
     {"1,0x65920094,Mon Jan 01 00:00:20 2024,,,,132.000,132.000,132.000,132.000,132.000,132.000,,",
      "2,0x6592008A,Mon Jan 01 00:00:10 2024,,,,131.000,131.000,131.000,131.000,131.000,131.000,,",
      "132,0x6591FB76,Sun Dec 31 23:38:30 2023,,,1.000,,,,,,,,0x0001"}},
    // Logged within slot 1's first pass: it is read again, and every slot
    // has every row.
    {"WithinTheFirstSlot",
     {{"Register 1: Reading 5 Modbus points.", "elapse 3"}},
     1,
     3 + 9 * 2,
     {"1,0x6592008A,Mon Jan 01 00:00:10 2024,8585347.000,,131.000,131.000,131.000,131.000,131.000,131.000,131.000,"
      "8585347.000,0x0083",
      "2,0x65920080,Mon Jan 01 00:00:00 2024,8519810.000,,130.000,130.000,130.000,130.000,130.000,130.000,130.000,"
      "8519810.000,0x0082",
      "130,0x6591FB80,Sun Dec 31 23:38:40 2023,131074.000,,2.000,2.000,2.000,2.000,2.000,2.000,2.000,131074.000,"
      "0x0002"}},
};

void PrintTo(const InstantCase& c, std::ostream* out) { *out << c.name; }

class LoggingDuringDownload : public Download, public ::testing::WithParamInterface<InstantCase> {};
}  // namespace

// Every row holds the values of one logging instant, labelled with its time:
// the numbers in a row agree, and rows step back by one number.
TEST_P(LoggingDuringDownload, EachRowHoldsOneInstant) {
  const InstantCase& c = GetParam();
  setenv("TZ", "UTC", 1);  // the other tests work out local times in any zone
  tzset();
  StartMeter(10, {"--static", "--log-sequence"});
  Sim("set 3 158 0");
  SetSlots({1, 146, 3, 4, 5, 10, 11, 12, 31, 2});
  Sim("set 3 139 0");  // power and energy unscaled
  Sim("set 3 140 0");
  Sim("clock 3 2024 1 1 0 0 0");
  Sim("prefill 3 130");
  sim_->TakeEvents(0, 0);
  ScriptedLog log(*sim_, c.script);
  ASSERT_TRUE(DownloadLoggedData(link_, pickedMeter_, log));
  const std::vector<std::string> events = sim_->TakeEvents(0, 200);
  EXPECT_EQ(std::count(events.begin(), events.end(), "read 3 165 3"), c.newestTimeReads);
  EXPECT_EQ(std::count_if(log.messages.begin(), log.messages.end(),
                          [](const std::string& m) { return m.find("logged a new entry while it was read") != m.npos; }),
            c.newEntryMessages);
  EXPECT_EQ(Get(157), 0);
  const std::vector<std::string> lines = CsvLines();
  ASSERT_EQ(lines.size(), std::stoul(c.rows.back()) + 1);
  EXPECT_EQ(lines[0], "Data#, UTC, Date/Time,KWH,ERROR,KW,KVAR,KVA,KW-A,KW-B,KW-C,KVA-A,KWH,Error");
  EXPECT_EQ((std::vector<std::string>{lines[1], lines[2], lines.back()}), c.rows);
  for (size_t l = 1; l < lines.size(); ++l) {
    const int number = 131 + static_cast<int>(c.script.size()) - static_cast<int>(l);
    const std::string power = Fixed3(number), kwh = Fixed3(number * 65537.0);
    char error[8];
    std::snprintf(error, sizeof error, "0x%04X", number);
    const std::string instant[] = {kwh, "", power, power, power, power, power, power, power, kwh, error};
    std::vector<std::string> fields;
    std::stringstream row(lines[l]);
    for (std::string field; std::getline(row, field, ',');) fields.push_back(field);
    fields.resize(14);
    for (size_t i = 0; i < std::size(instant); ++i)
      EXPECT_TRUE(fields[3 + i].empty() || fields[3 + i] == instant[i]) << lines[l];
  }
}

INSTANTIATE_TEST_SUITE_P(Download, LoggingDuringDownload, ::testing::ValuesIn(kInstantCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Download, UncreatableLogFileStopsBeforeAnythingIsSent) {
  StartMeter(900);
  std::filesystem::create_directory("log.txt");
  EXPECT_FALSE(DownloadLoggedData(link_, pickedMeter_, log_));
  EXPECT_EQ(log_.messages, (std::vector<std::string>{"Starting Download."}));
  EXPECT_EQ(log_.statusOnly, (std::vector<std::string>{"Cannot create file \"log.txt\"."}));
  EXPECT_TRUE(sim_->TakeEvents(0, 200).empty());
  EXPECT_FALSE(std::filesystem::exists("03-data.csv"));
}

TEST_F(Download, UnopenableDataFileStopsBeforeAnythingIsSent) {
  StartMeter(900);
  std::filesystem::create_directory("03-data.csv");
  EXPECT_FALSE(DownloadLoggedData(link_, pickedMeter_, log_));
  EXPECT_EQ(log_.messages.back(), "Cannot open file \"03-data.csv\". Make sure it isn't being used.");
  EXPECT_TRUE(sim_->TakeEvents(0, 200).empty());
}

namespace {
class DownloadUnderFaults : public Download, public ::testing::WithParamInterface<Framing> {
 protected:
  void TearDown() override {
    link_.SetSettings(LinkSettings{Framing::Silence, {}, {}});
    Download::TearDown();
  }
};
}  // namespace

// A line that spoils a fifth of the answers in every way qm4sim knows (bad
// CRC, cut, extra bytes, another address or function, silence, a delay past
// the timeout, an answer arriving during the next request) still gives the
// file of a clean download, byte for byte: status reads and slot selections
// are repeated as the sections are.
TEST_P(DownloadUnderFaults, WritesTheFileOfACleanDownload) {
  link_.SetSettings(LinkSettings{GetParam(), {}, {}});
  StartMeter(900, {"--static"});
  Sim("prefill 3 300");
  ASSERT_TRUE(DownloadLoggedData(link_, pickedMeter_, log_));
  const std::string clean = ReadWholeFile(kDataFile);
  Sim("random 0.2 7");
  RecordingLog faulty;
  ASSERT_TRUE(DownloadLoggedData(link_, pickedMeter_, faulty)) << faulty.messages.back();
  EXPECT_EQ(ReadWholeFile(kDataFile), clean);
  // A repetition that follows anything but a section's message repeats a
  // status read or a slot selection.
  int sectionRetries = 0, otherRetries = 0;
  for (size_t i = 1; i < faulty.messages.size(); ++i) {
    if (faulty.messages[i] != "Response Timeout Retry #1") continue;
    (faulty.messages[i - 1].find("Modbus points.") != std::string::npos ? sectionRetries : otherRetries) += 1;
  }
  EXPECT_GT(sectionRetries, 0);
  EXPECT_GT(otherRetries, 0);
  Sim("random off");
  EXPECT_EQ(Get(157), 0);
}

INSTANTIATE_TEST_SUITE_P(Download, DownloadUnderFaults, ::testing::Values(Framing::Silence, Framing::Length),
                         [](const auto& info) { return std::string(FramingName(info.param)); });

// True when the whole log was read. Another thread's reads on the same link
// wait for a slot's selection, reads and release: none lands between them.
TEST_F(Download, NoOtherTransactionLandsBetweenASlotsSelectionAndItsRelease) {
  StartMeter(900, {"--prefill", "300"});
  sim_->TakeEvents(0, 200);
  std::atomic<bool> done{false};
  std::thread other([&] {
    int values[2];
    while (!done.load()) (void)link_.ReadHoldingRegisters(3, 0, 2, values);
  });
  auto data = std::make_unique<LoggedData>();
  RecordingLog log;
  const bool read = ReadLoggedData(link_, pickedMeter_, *data, log);
  done.store(true);
  other.join();
  ASSERT_TRUE(read);
  int selected = 0, otherReads = 0;
  for (const std::string& event : sim_->TakeEvents(0, 500)) {
    if (event.rfind("write 3 157 ", 0) == 0) selected = std::stoi(event.substr(12));
    if (event != "read 3 0 2") continue;
    ++otherReads;
    EXPECT_EQ(selected, 0) << "another master's read within slot " << selected;
  }
  EXPECT_GT(otherReads, 0);  // the other thread did get the line, between slots
  Sim("fault 3 exception:4 0 at 8000");  // the first slot's window: no log read whole
  EXPECT_FALSE(ReadLoggedData(link_, pickedMeter_, *data, log));
}

// A busy answer is waited out, not repeated: busy for two answers gives a clean
// download's file; busy past the bound ends the download, saying so.
TEST(DownloadBusy, ABusyMeterIsWaitedForThenServedOrGivenUpOn) {
  const TempCurrentDirectory cwd;
  struct Case {
    const char* fault;
    int boundMs;
    bool written;
    std::vector<std::string> said;  // the messages of the wait or a retry, then the last one
  };
  const Case cases[] = {
      {"fault 3 exception:6 2 at 7999", 60000, true,
       {"meter 03's log is being read by another master; waiting",
        "Data written to file \"03-data.csv\". Log available at \"log.txt\""}},
      {"fault 3 exception:6 0 at 7999", 2000, false,
       {"meter 03's log is being read by another master; waiting",
        "meter 03's log was still being read by another master after 2 s; giving up",
        "Error while reading data: the meter refused a request (exception response)."}},
  };
  SimProcess gateway({"--mbtcp", "127.0.0.1:0", "--meter", "3:QM4C", "--static", "--prefill", "200"});
  std::string cleanCsv;
  for (const Case& c : cases) {
    LinkSettings settings;
    settings.timeouts.busyWaitMs = c.boundMs;
    ModbusLink link{settings};
    ASSERT_TRUE(link.Open(gateway.PortName(), 38400)) << link.OpenFailureText();
    RecordingLog log;
    if (cleanCsv.empty() && DownloadLoggedData(link, Meter{3, ModelQM4C, "", ""}, log)) cleanCsv = ReadWholeFile("03-data.csv");
    std::filesystem::remove("03-data.csv");
    log.messages.clear();
    ASSERT_EQ(gateway.Command(c.fault), "ok");
    EXPECT_EQ(DownloadLoggedData(link, Meter{3, ModelQM4C, "", ""}, log), c.written) << c.fault;
    std::vector<std::string> said;
    for (const std::string& message : log.messages)
      if (message.rfind("meter 03", 0) == 0 || message.find("Retry") != std::string::npos) said.push_back(message);
    said.push_back(log.messages.back());
    EXPECT_EQ(said, c.said) << c.fault;
    EXPECT_EQ(ReadWholeFile("03-data.csv"), c.written ? cleanCsv : "") << c.fault;
    ASSERT_EQ(gateway.Command("fault 3 none"), "ok");
  }
}

TEST(DownloadFileName, TwoDigitsAtLeast) {
  EXPECT_EQ(DataFileName(5), "05-data.csv");
  EXPECT_EQ(DataFileName(100), "100-data.csv");
}
