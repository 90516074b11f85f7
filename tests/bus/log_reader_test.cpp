// The one log reader against qm4sim: what it returns, its slots as one piece
// on a link another thread shares, and a meter behind a gateway that answers
// busy for a while or for too long.

#include <atomic>
#include <memory>
#include <thread>

#include "bus/download.h"
#include "tests/bus/recording_log.h"
#include "tests/support/core_fixture.h"

namespace {
constexpr Meter kLogged{3, ModelQM4C, "", ""};

class LogReader : public CoreOverSim {
 protected:
  void SetUp() override { StartBus({"--meter", "3:QM4C", "--static"}); }
};

std::unique_ptr<SimProcess> StartBusyGateway() {
  return std::make_unique<SimProcess>(
      std::vector<std::string>{"--mbtcp", "127.0.0.1:0", "--meter", "3:QM4C", "--static"});
}
}  // namespace

// True when every slot was read, false at the first part that could not be.
TEST_F(LogReader, ReadLoggedDataIsTrueWhenTheWholeLogWasRead) {
  struct Case {
    const char* fault;  // none: ""
    bool read;
    int rows;
  };
  const Case cases[] = {
      {"", true, 20},
      {"fault 3 exception:4 0 at 149", false, 0},   // the status block
      {"fault 3 exception:4 0 at 8000", false, 0},  // the first slot's window
  };
  Sim("prefill 3 20");
  for (const Case& c : cases) {
    if (*c.fault != '\0') Sim(c.fault);
    auto data = std::make_unique<LoggedData>();
    RecordingLog log;
    EXPECT_EQ(ReadLoggedData(link_, kLogged, *data, log), c.read) << c.fault;
    if (c.read) {
      EXPECT_EQ(data->pointCount, c.rows);
    }
    Sim("fault 3 none");
  }
}

// Another thread's reads on the same link wait for a slot's selection, reads
// and release to end: none lands between a selection and its release.
TEST_F(LogReader, NoOtherTransactionLandsBetweenASlotsSelectionAndItsRelease) {
  Sim("prefill 3 300");
  sim_->TakeEvents(0, 200);
  std::atomic<bool> done{false};
  std::thread other([&] {
    int values[2];
    while (!done.load()) (void)link_.ReadHoldingRegisters(3, 0, 2, values);
  });
  auto data = std::make_unique<LoggedData>();
  RecordingLog log;
  const bool read = ReadLoggedData(link_, kLogged, *data, log);
  done.store(true);
  other.join();
  ASSERT_TRUE(read);
  int selected = 0;
  int otherReads = 0;
  int selections = 0;
  for (const std::string& event : sim_->TakeEvents(0, 500)) {
    if (event.rfind("write 3 157 ", 0) == 0) {
      selected = std::stoi(event.substr(12));
      selections += selected != 0;
    } else if (event == "read 3 0 2") {
      ++otherReads;
      EXPECT_EQ(selected, 0) << "another master's read while slot " << selected << " was selected";
    }
  }
  EXPECT_EQ(selections, 10);
  EXPECT_GT(otherReads, 0);  // the other thread did get the line, between slots
}

// A busy answer is waited out, not repeated as a spoiled one: a gateway busy
// for two answers gives the file a clean download gives; one that stays busy
// past the bound ends the download with the wait's end said.
TEST(LogReaderBusy, ABusyMeterIsWaitedForThenServedOrGivenUpOn) {
  const TempCurrentDirectory cwd;
  struct Case {
    const char* fault;
    int boundMs;
    bool written;
    std::vector<std::string> waits;  // the messages about the busy meter, in order
    std::string last;
  };
  const Case cases[] = {
      {"fault 3 exception:6 2 at 7999", 60000, true,
       {"meter 03's log is being read by another master; waiting"},
       "Data written to file \"03-data.csv\". Log available at \"log.txt\""},
      {"fault 3 exception:6 0 at 7999", 2000, false,
       {"meter 03's log is being read by another master; waiting",
        "meter 03's log was still being read by another master after 2 s; giving up"},
       "Error while reading data."},
  };
  const auto sim = StartBusyGateway();
  for (const char* command : {"set 3 158 2", "clock 3 2026 03 01 12 00 00", "prefill 3 200"})
    ASSERT_EQ(sim->Command(command).substr(0, 2), "ok") << command;
  LinkSettings settings;
  ModbusLink clean{settings};
  ASSERT_TRUE(clean.Open(sim->PortName(), 38400)) << clean.OpenFailureText();
  RecordingLog cleanLog;
  ASSERT_TRUE(DownloadLoggedData(clean, kLogged, cleanLog));
  clean.Close();
  const std::string cleanCsv = ReadWholeFile("03-data.csv");
  for (const Case& c : cases) {
    std::filesystem::remove("03-data.csv");
    settings.timeouts.busyWaitMs = c.boundMs;
    ModbusLink link{settings};
    ASSERT_TRUE(link.Open(sim->PortName(), 38400)) << link.OpenFailureText();
    ASSERT_EQ(sim->Command(c.fault), "ok");
    RecordingLog log;
    EXPECT_EQ(DownloadLoggedData(link, kLogged, log), c.written) << c.fault;
    std::vector<std::string> waits;
    for (const std::string& message : log.messages) {
      if (message.rfind("meter 03", 0) == 0) waits.push_back(message);
      EXPECT_EQ(message.find("Retry"), std::string::npos) << c.fault << ": " << message;
    }
    EXPECT_EQ(waits, c.waits) << c.fault;
    ASSERT_FALSE(log.messages.empty());
    EXPECT_EQ(log.messages.back(), c.last) << c.fault;
    if (c.written) {
      EXPECT_EQ(ReadWholeFile("03-data.csv"), cleanCsv);
    }
    ASSERT_EQ(sim->Command("fault 3 none"), "ok");
    link.Close();
  }
}
