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
}  // namespace

// True when the whole log was read. Another thread's reads on the same link
// wait for a slot's selection, reads and release: none lands between them.
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
  Sim("fault 3 exception:4 0 at 8000");  // the first slot's window: no log read whole
  EXPECT_FALSE(ReadLoggedData(link_, kLogged, *data, log));
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
  SimProcess gateway({"--mbtcp", "127.0.0.1:0", "--meter", "3:QM4C", "--static"});
  for (const char* command : {"set 3 158 2", "clock 3 2026 03 01 12 00 00", "prefill 3 200"})
    ASSERT_EQ(gateway.Command(command).substr(0, 2), "ok") << command;
  std::string cleanCsv;
  for (const Case& c : cases) {
    LinkSettings settings;
    settings.timeouts.busyWaitMs = c.boundMs;
    ModbusLink link{settings};
    ASSERT_TRUE(link.Open(gateway.PortName(), 38400)) << link.OpenFailureText();
    RecordingLog log;
    if (cleanCsv.empty() && DownloadLoggedData(link, kLogged, log)) cleanCsv = ReadWholeFile("03-data.csv");
    std::filesystem::remove("03-data.csv");
    log.messages.clear();
    ASSERT_EQ(gateway.Command(c.fault), "ok");
    EXPECT_EQ(DownloadLoggedData(link, kLogged, log), c.written) << c.fault;
    std::vector<std::string> waits;  // "Response Timeout Retry #n" among them would be counted too
    for (const std::string& message : log.messages)
      if (message.rfind("meter 03", 0) == 0 || message.find("Retry") != std::string::npos) waits.push_back(message);
    EXPECT_EQ(waits, c.waits) << c.fault;
    EXPECT_EQ(log.messages.back(), c.last) << c.fault;
    EXPECT_EQ(ReadWholeFile("03-data.csv"), c.written ? cleanCsv : "") << c.fault;
    ASSERT_EQ(gateway.Command("fault 3 none"), "ok");
  }
}
