// Starting the meter's logging: refusals send nothing, a start sends its
// fourteen writes in order.

#include "bus/logging_start.h"

#include "tests/bus/recording_log.h"
#include "tests/support/core_fixture.h"

namespace {
const char* const kIllegalSlot = "Illegal \"Registers to log\" value.  Must be 0-42, 146, or 155-157, 257-336.";
const char* const kIllegalSubInterval = "Illegal \"Subinterval Length\" value must be 10-32767.";
const char* const kStartFailed = "Error starting logging.";
const char* const kStartStopped = "Logging start stopped before all settings were written.";

// Answers "stop" from the question after the first `allowed` on; the start
// asks before each write.
class StopAfterQuestions : public RecordingLog {
 public:
  explicit StopAfterQuestions(int allowed) : allowed_(allowed) {}
  bool StopRequested() const override { return ++asked_ > allowed_; }

 private:
  int allowed_;
  mutable int asked_ = 0;
};

class LoggingStart : public CoreOverSim {
 protected:
  void SetUp() override {
    CoreOverSim::SetUp();
    StartBus({"--meter", "3:QM4C"});
    pickedMeter_.address = 3;
    pickedMeter_.model = 3;
  }
  LoggingSettings Settings(std::initializer_list<unsigned> slots, unsigned subInterval, int method = 0) {
    LoggingSettings settings;
    int i = 0;
    for (unsigned slot : slots) settings.slots[i++] = slot;
    settings.subInterval = subInterval;
    settings.method = method;
    return settings;
  }
  std::vector<std::string> ExpectedWrites(const LoggingSettings& s, int control) {
    std::vector<std::string> writes{"write 3 128 16640"};
    for (int i = 0; i < 10; ++i) writes.push_back("write 3 " + std::to_string(168 + i) + " " + std::to_string(s.slots[i]));
    writes.push_back("write 3 158 " + std::to_string(control));
    writes.push_back("write 3 149 " + std::to_string(s.subInterval));
    writes.push_back("write 3 157 0");
    return writes;
  }
  RecordingLog log_;
};
}  // namespace

TEST_F(LoggingStart, EachIllegalSlotValueIsRefusedWithNothingSent) {
  const unsigned illegal[] = {43, 145, 147, 154, 158, 256, 337, 400, 65535, 4294967295u};
  int position = 0;
  for (unsigned value : illegal) {
    RecordingLog log;
    LoggingSettings settings = Settings({3, 26, 146, 155, 156, 157, 0, 0, 0, 0}, 60, 1);
    settings.slots[position++ % 10] = value;
    EXPECT_FALSE(StartLogging(link_, pickedMeter_, settings, logSetup_, log)) << value;
    EXPECT_EQ(log.messages, (std::vector<std::string>{kIllegalSlot, kStartFailed})) << value;
    EXPECT_EQ(logSetup_.logControl, 0) << "the method is not taken when a slot is refused";
  }
  EXPECT_TRUE(sim_->TakeEvents(0, 200).empty());
}

TEST_F(LoggingStart, SubIntervalOutsideTenTo32767IsRefusedButTheMethodIsKept) {
  for (unsigned subInterval : {0u, 9u, 32768u}) {
    RecordingLog log;
    logSetup_.logControl = 2;
    LoggingSettings settings = Settings({1, 2}, subInterval, 1);
    EXPECT_FALSE(StartLogging(link_, pickedMeter_, settings, logSetup_, log));
    EXPECT_EQ(log.messages, (std::vector<std::string>{kIllegalSubInterval, kStartFailed}));
    EXPECT_EQ(logSetup_.logControl, 3);  // bit 0 one-shot now, bit 1 untouched
  }
  EXPECT_TRUE(sim_->TakeEvents(0, 200).empty());
}

TEST_F(LoggingStart, EdgeValuesAreAcceptedAndWrittenInOrder) {
  LoggingSettings low = Settings({0, 42, 146, 155, 157, 257, 336, 1, 2, 0}, 10, 0);
  EXPECT_TRUE(StartLogging(link_, pickedMeter_, low, logSetup_, log_));
  EXPECT_EQ(Writes(), ExpectedWrites(low, 0));
  LoggingSettings high = Settings({3, 26, 146, 155, 156, 157, 261, 262, 0, 0}, 32767, 1);
  EXPECT_TRUE(StartLogging(link_, pickedMeter_, high, logSetup_, log_));
  EXPECT_EQ(Writes(), ExpectedWrites(high, 1));
  EXPECT_EQ(log_.messages, (std::vector<std::string>{"Logging Started Successfully", "Logging Started Successfully"}));
  EXPECT_EQ(sim_->Command("get 3 149"), "ok 32767");
  EXPECT_EQ(sim_->Command("get 3 175"), "ok 262");
}

TEST_F(LoggingStart, UnknownMethodBecomesContinuous) {
  LoggingSettings settings = Settings({3}, 60, 7);
  logSetup_.logControl = 1;
  EXPECT_TRUE(StartLogging(link_, pickedMeter_, settings, logSetup_, log_));
  EXPECT_EQ(settings.method, 0);
  EXPECT_EQ(logSetup_.logControl, 0);
  EXPECT_EQ(Writes(), ExpectedWrites(settings, 0));
}

// The restart command and the ten slots stay done on the meter; only the
// failure is reported, with its cause.
TEST_F(LoggingStart, FailedControlWordWriteStopsTheStart) {
  Sim("fault 3 exception 1 at 158");
  LoggingSettings settings = Settings({3, 4, 5}, 60);
  EXPECT_FALSE(StartLogging(link_, pickedMeter_, settings, logSetup_, log_));
  std::vector<std::string> expected = ExpectedWrites(settings, 0);
  expected.resize(11);
  EXPECT_EQ(Writes(), expected);
  EXPECT_EQ(log_.messages,
            (std::vector<std::string>{"Error starting logging: the meter refused a request (exception response)."}));
}

TEST_F(LoggingStart, SlotsReadWhenTheWindowOpensAreSignExtended) {
  Sim("set 3 168 65535");
  Sim("set 3 169 336");
  Sim("set 3 149 120");
  pollState_.subIntervalSeconds = 120;
  logSetup_.logControl = 1;
  ASSERT_TRUE(ReadLogSlots(link_, pickedMeter_, logSetup_));
  EXPECT_EQ(logSetup_.logSlots[0], -1);
  const LoggingSettings settings = CurrentLoggingSettings(pollState_.subIntervalSeconds, logSetup_);
  EXPECT_EQ(settings.slots[0], 4294967295u);
  EXPECT_EQ(settings.slots[1], 336u);
  EXPECT_EQ(settings.subInterval, 120u);
  EXPECT_EQ(settings.method, 1);
}

TEST_F(LoggingStart, FailedSlotReadLeavesTheSlotsAsTheyWere) {
  logSetup_.logSlots[4] = 26;
  Sim("fault 3 silent 1");
  EXPECT_FALSE(ReadLogSlots(link_, pickedMeter_, logSetup_));
  EXPECT_EQ(logSetup_.logSlots[4], 26);
  EXPECT_EQ(logSetup_.logSlots[0], 0);
}

// A stop during a start ends it after the write under way: the writes before
// stay done and nothing more is sent. A stop after the last write finds the
// start complete.
TEST_F(LoggingStart, StopEndsTheStartAfterTheCurrentWrite) {
  const struct {
    int writesBeforeStop;
    const char* message;
  } cases[] = {{3, kStartStopped}, {14, "Logging Started Successfully"}};
  for (const auto& c : cases) {
    StopAfterQuestions log(c.writesBeforeStop);
    LoggingSettings settings = Settings({3, 4, 5}, 60);
    EXPECT_EQ(StartLogging(link_, pickedMeter_, settings, logSetup_, log), c.writesBeforeStop == 14);
    std::vector<std::string> expected = ExpectedWrites(settings, 0);
    expected.resize(static_cast<size_t>(c.writesBeforeStop));
    EXPECT_EQ(Writes(), expected);
    EXPECT_EQ(log.messages, std::vector<std::string>{c.message});
  }
}
