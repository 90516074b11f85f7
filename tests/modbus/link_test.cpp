// The master over a real pseudo terminal against qm4sim: every result code
// produced by a real frame on the line, the timeouts, the drain, the trace
// ring, reopening and exclusive opening.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "modbus/master.h"
#include "modbus/serial_link.h"
#include "tests/support/sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;

long MillisecondsSince(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class MasterOverPty : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(g_traceRing, 0, sizeof g_traceRing);
    g_traceIndex = 0;
    g_traceLive = 0;
    g_framing = Framing::Silence;
    ASSERT_TRUE(OpenPort(sim_.LinkPath().c_str(), 38400)) << PortOpenFailureText();
  }
  void TearDown() override {
    ClosePort();
    g_framing = Framing::Silence;
  }

  std::string NewestEntry() const { return g_traceRing[g_traceIndex]; }
  void Fault(const std::string& kind) { ASSERT_EQ(sim_.Command("fault 1 " + kind).substr(0, 2), "ok"); }

  SimProcess sim_{{"--meter", "1:QM4C", "--meter", "2:QM4A", "--static"}};
};

TEST_F(MasterOverPty, EachTransactionEndToEnd) {
  ASSERT_EQ(sim_.Command("set 1 149 900").substr(0, 2), "ok");
  int values[8] = {};
  EXPECT_EQ(ReadHoldingRegisters(g_port, 1, 149, 8, values), ResultOk);
  EXPECT_EQ(values[0], 900);
  EXPECT_EQ(NewestEntry().substr(0, 31), "Send->01 03 00 95 00 08 54 20\r\n");
  // 8 registers: a 21-byte answer, 3 * 21 + 7 characters.
  EXPECT_EQ(NewestEntry().size(), 31u + 3 * 21 + 7);

  EXPECT_EQ(WriteSingleRegister(g_port, 1, 149, 60), ResultOk);
  const auto events = sim_.TakeEvents(2);
  EXPECT_NE(std::find(events.begin(), events.end(), "write 1 149 60"), events.end());
  EXPECT_EQ(ReadHoldingRegisters(g_port, 1, 149, 1, values), ResultOk);
  EXPECT_EQ(values[0], 60);

  int id = -1;
  char text[kSlaveIdTextSize] = "";
  EXPECT_EQ(ReportSlaveId(g_port, 2, &id, text), ResultOk);
  EXPECT_NE(std::strstr(text, "QM4A"), nullptr) << text;
  EXPECT_EQ(NewestEntry().substr(0, 19), "Send->02 11 C0 DC\r\n");
}

TEST_F(MasterOverPty, EveryResultCodeFromARealFrameAlikeUnderBothFramings) {
  enum class Call { Read4, Read48, ReadMissing, ReadRefused, Write, Id };
  const struct {
    const char* fault;
    Call call;
    ModbusResult expected;
  } cases[] = {
      {"none", Call::Read48, ResultOk},
      {"none", Call::Write, ResultOk},
      {"none", Call::Id, ResultOk},
      {"silent", Call::Read4, ResultTimeout},
      // 100 bytes of noise ahead of a 13-byte answer, 33 asked for.
      {"noise", Call::Read4, ResultTooLarge},
      {"cut", Call::Read48, ResultBadLength},
      {"cut", Call::Write, ResultBadLength},
      {"exception", Call::Read48, ResultException},
      {"exception", Call::Write, ResultException},
      {"none", Call::ReadMissing, ResultException},  // a register the meter does not have
      {"badcrc", Call::Read48, ResultCrc},
      {"badcrc", Call::Id, ResultCrc},
      {"wrongaddr", Call::Read48, ResultWrongAddress},
      {"wrongfunc", Call::Read48, ResultWrongFunction},
      {"badcount", Call::Read48, ResultBadByteCount},
      // Its byte count promises 2 bytes more than come: length falls back.
      {"badcount", Call::Id, ResultBadByteCount},
      {"echo", Call::Write, ResultWriteMismatch},
      {"none", Call::ReadRefused, ResultBadParameter},
  };
  const auto run = [](Call call) -> ModbusResult {
    int values[48] = {};
    int id = 0;
    char text[kSlaveIdTextSize] = "";
    switch (call) {
      case Call::Read4: return ReadHoldingRegisters(g_port, 1, 258, 4, values);
      case Call::Read48: return ReadHoldingRegisters(g_port, 1, 258, 48, values);  // the poll's largest, 101 bytes
      case Call::ReadMissing: return ReadHoldingRegisters(g_port, 1, 5000, 4, values);
      case Call::ReadRefused: return ReadHoldingRegisters(g_port, 1, 258, 0, values);
      case Call::Write: return WriteSingleRegister(g_port, 1, 149, 61);
      case Call::Id: return ReportSlaveId(g_port, 1, &id, text);
    }
    return ResultOk;
  };
  for (const auto& c : cases) {
    std::string entries[2];
    for (const Framing framing : {Framing::Silence, Framing::Length}) {
      g_framing = framing;
      Fault(c.fault);
      const unsigned long tallied = g_transactionsByResult[c.expected];
      EXPECT_EQ(run(c.call), c.expected) << c.fault << " under " << FramingName(framing);
      EXPECT_EQ(g_transactionsByResult[c.expected], tallied + 1) << c.fault << ": tallied under its result";
      entries[static_cast<int>(framing)] = NewestEntry();
      Fault("none");
    }
    EXPECT_EQ(entries[1], entries[0]) << c.fault << ": the trace must not tell the framings apart";
  }
  int values[4] = {11, 22, 33, 44};
  EXPECT_EQ(ReadHoldingRegisters(g_port, 1, 5000, 4, values), ResultException);
  EXPECT_EQ(values[0], 11) << "the caller's array is untouched on failure";
}

TEST_F(MasterOverPty, LengthFramingEndsAtTheAnswerAndLeavesWhatFollowsToTheDrain) {
  // A whole answer (13 bytes for 4 registers) and 100 bytes after it, 33
  // asked for. Silence reads on and finds too many, as it always has; length
  // stops at byte 13, before any silence could, and the next drain takes
  // the rest.
  const struct {
    Framing framing;
    ModbusResult expected;
    size_t bytesShown;
  } cases[] = {{Framing::Silence, ResultTooLarge, 33}, {Framing::Length, ResultOk, 13}};
  for (const auto& c : cases) {
    g_framing = c.framing;
    Fault("oversize");
    int values[4] = {};
    EXPECT_EQ(ReadHoldingRegisters(g_port, 1, 258, 4, values), c.expected) << FramingName(c.framing);
    const std::string entry = NewestEntry();
    EXPECT_EQ(entry.size(), 31u + 6 + 3 * c.bytesShown + 1) << entry;
    Fault("none");
    ASSERT_EQ(sim_.Command("set 1 149 " + std::to_string(700 + c.bytesShown)).substr(0, 2), "ok");
    EXPECT_EQ(ReadHoldingRegisters(g_port, 1, 149, 1, values), ResultOk) << FramingName(c.framing);
    EXPECT_EQ(values[0], static_cast<int>(700 + c.bytesShown)) << "the trailing bytes went to the drain";
  }
}

TEST_F(MasterOverPty, SilentSlaveTimesOutAndLeavesAnEmptyResponseLine) {
  Fault("silent");
  int values[4];
  const auto start = Clock::now();
  EXPECT_EQ(ReadHoldingRegisters(g_port, 1, 258, 4, values), ResultTimeout);
  const long elapsed = MillisecondsSince(start);
  // 600 + 33 ms for a read of 4; the lower bound is what the design promises
  // the slave, the upper bound only proves the read ends.
  EXPECT_GE(elapsed, 633);
  EXPECT_LT(elapsed, 5000);
  EXPECT_EQ(NewestEntry(), "Send->01 03 01 02 00 04 E4 35\r\nRecv->\r\n");

  int id = 0;
  char text[kSlaveIdTextSize];
  const auto idStart = Clock::now();
  EXPECT_EQ(ReportSlaveId(g_port, 1, &id, text), ResultTimeout);
  EXPECT_GE(MillisecondsSince(idStart), 700) << "a report slave ID read asks for 100 bytes: 700 ms";
  Fault("none");
}

TEST_F(MasterOverPty, BadParametersSendNothingAndWriteNoTraceEntry) {
  int values[600];
  sim_.TakeEvents(0, 0);
  const struct {
    int slave, first, count;
  } reads[] = {{1, 258, 0},  {1, 258, 510}, {1, -1, 4},      {1, 65500, 36},
               {256, 258, 4}, {-1, 258, 4},  {1, 65535, 1},   {1, INT_MAX, 4},
               {1, INT_MAX - 100, 509}};  // first + count overflows an int
  for (const auto& r : reads) {
    EXPECT_EQ(ReadHoldingRegisters(g_port, r.slave, r.first, r.count, values), ResultBadParameter)
        << r.slave << " " << r.first << " " << r.count;
  }
  EXPECT_EQ(WriteSingleRegister(g_port, 1, 1024, 0), ResultBadParameter);
  EXPECT_EQ(WriteSingleRegister(g_port, 1, 149, 65536), ResultBadParameter);
  EXPECT_EQ(WriteSingleRegister(g_port, 1, 149, -1), ResultBadParameter);
  int id;
  char text[kSlaveIdTextSize];
  EXPECT_EQ(ReportSlaveId(g_port, 256, &id, text), ResultBadParameter);
  EXPECT_EQ(g_traceIndex, 0);
  EXPECT_TRUE(sim_.TakeEvents(0, 300).empty()) << "nothing may reach the line";

  // The boundaries themselves go out.
  EXPECT_EQ(ReadHoldingRegisters(g_port, 1, 65534, 1, values), ResultException);
  EXPECT_EQ(WriteSingleRegister(g_port, 1, 1023, 0), ResultException);
  EXPECT_EQ(g_traceIndex, 2);
}

TEST_F(MasterOverPty, LargestReadFitsItsBufferAndTraceEntry) {
  int values[509];
  // 509 registers from address 7999: whatever the meter answers, nothing may
  // overrun (the sanitizer build checks), and the entry ends with its line end.
  const ModbusResult result = ReadHoldingRegisters(g_port, 1, 7999, 509, values);
  EXPECT_NE(result, ResultBadParameter);
  const std::string entry = NewestEntry();
  EXPECT_LT(entry.size(), static_cast<size_t>(kTraceEntryChars));
  EXPECT_EQ(entry.substr(entry.size() - 2), "\r\n");
}

TEST_F(MasterOverPty, LateAnswerIsDrainedByTheNextTransaction) {
  Fault("delay 900");
  int values[4] = {};
  EXPECT_EQ(ReadHoldingRegisters(g_port, 1, 258, 4, values), ResultTimeout);
  Fault("none");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the late answer has landed by now
  ASSERT_EQ(sim_.Command("set 1 149 1234").substr(0, 2), "ok");
  EXPECT_EQ(ReadHoldingRegisters(g_port, 1, 149, 1, values), ResultOk);
  EXPECT_EQ(values[0], 1234) << "stale bytes must not be taken for this answer";
}

TEST_F(MasterOverPty, LateAnswerStillArrivingIsDrainedToItsEnd) {
  // At 1200 baud an 85-byte answer takes 708 ms; it starts after the read
  // for it has given up and is still coming in when the next transaction
  // begins, so the drain must follow it to its end, not stop at the first
  // moment the buffer is empty.
  ASSERT_EQ(sim_.Command("baud 1200").substr(0, 2), "ok");
  ReopenPort(1200);
  Fault("delay 1650");
  int values[40] = {};
  EXPECT_EQ(ReadHoldingRegisters(g_port, 1, 258, 40, values), ResultTimeout);  // gives up at 600 + 9 * 105 ms
  Fault("none");
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  ASSERT_EQ(sim_.Command("set 1 149 4321").substr(0, 2), "ok");
  EXPECT_EQ(ReadHoldingRegisters(g_port, 1, 149, 1, values), ResultOk) << NewestEntry();
  EXPECT_EQ(values[0], 4321);
}

TEST_F(MasterOverPty, LowRatesReadWholeAnswers) {
  // The total timeout must cover the answer's characters: 48 registers are
  // 101 bytes, 842 ms at 1200 baud; 125 registers 255 bytes, 1063 ms at 2400.
  const struct {
    int baud, count;
  } cases[] = {{1200, 48}, {2400, 125}};
  for (const auto& c : cases) {
    ASSERT_EQ(sim_.Command("baud " + std::to_string(c.baud)).substr(0, 2), "ok");
    ReopenPort(c.baud);
    int values[125];
    EXPECT_EQ(ReadHoldingRegisters(g_port, 1, 7999, c.count, values), ResultOk) << c.baud << " baud";
  }
}

TEST(SerialLink, TotalTimeoutCoversTheCharactersAndStaysAt600PlusMFrom9600Up) {
  const struct {
    int m, baud, expectedMs;
  } cases[] = {{121, 38400, 721}, {121, 19200, 721}, {275, 9600, 875}, {33, 4800, 699},
               {275, 2400, 1975}, {121, 1200, 1689}};
  for (const auto& c : cases)
    EXPECT_EQ(ResponseTotalTimeoutMs(LinkTimeouts{}, c.m, c.baud), c.expectedMs) << c.m << " bytes at " << c.baud;
}

TEST_F(MasterOverPty, ResponsePausedMidFrameIsCutThere) {
  Fault("pause 120");
  int values[48];
  EXPECT_EQ(ReadHoldingRegisters(g_port, 1, 258, 48, values), ResultBadLength);
  const std::string entry = NewestEntry();
  const size_t recv = entry.find("Recv->");
  ASSERT_NE(recv, std::string::npos);
  const size_t bytesShown = (entry.size() - recv - 7) / 3;
  EXPECT_GT(bytesShown, 0u);
  EXPECT_LT(bytesShown, 101u);
  Fault("none");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(ReadHoldingRegisters(g_port, 1, 149, 1, values), ResultOk) << "the rest is drained";
}

TEST_F(MasterOverPty, ThirteenthTransactionOverwritesTheFirstEntry) {
  int values[1];
  for (int i = 0; i < 12; ++i) ASSERT_EQ(ReadHoldingRegisters(g_port, 1, 149 + i, 1, values), ResultOk);
  EXPECT_EQ(g_traceIndex, 0);
  EXPECT_EQ(std::string(g_traceRing[1]).substr(0, 18), "Send->01 03 00 95 ") << "address 149 first";
  ASSERT_EQ(ReadHoldingRegisters(g_port, 1, 200, 1, values), ResultException);
  EXPECT_EQ(g_traceIndex, 1);
  EXPECT_EQ(std::string(g_traceRing[1]).substr(0, 18), "Send->01 03 00 C8 ");
  // In time order: the second transaction (address 150) is now the oldest.
  EXPECT_EQ(std::string(TraceEntryOldestFirst(0)).substr(0, 18), "Send->01 03 00 96 ");
  EXPECT_EQ(std::string(TraceEntryOldestFirst(kTraceEntries - 1)).substr(0, 18), "Send->01 03 00 C8 ");
}

TEST_F(MasterOverPty, RepaintIsAskedOnlyWhileTheTraceIsLive) {
  static int requests = 0;
  requests = 0;
  g_traceRepaintRequest = [] { ++requests; };
  int values[1];
  ReadHoldingRegisters(g_port, 1, 149, 1, values);
  EXPECT_EQ(requests, 0);
  g_traceLive = 1;
  ReadHoldingRegisters(g_port, 1, 149, 1, values);
  ReadHoldingRegisters(g_port, 1, 149, 0, values);  // refused: no entry, no repaint
  EXPECT_EQ(requests, 1);
  g_traceLive = 0;
  g_traceRepaintRequest = nullptr;
}

TEST_F(MasterOverPty, ReopeningAtAnotherRate) {
  ReopenPort(9600);
  EXPECT_EQ(g_portOpen, 1);
  int values[1];
  EXPECT_EQ(ReadHoldingRegisters(g_port, 1, 149, 1, values), ResultOk);
  EXPECT_STREQ(g_portName, sim_.LinkPath().c_str());

  // A port that does not exist: false, and the open one is closed.
  EXPECT_FALSE(OpenPort("COM7:", 38400));
  EXPECT_EQ(g_portOpen, 0);
  EXPECT_STREQ(g_portName, sim_.LinkPath().c_str()) << "only a successful open names the port";
  EXPECT_FALSE(OpenPort("COM0:", 38400));
  EXPECT_FALSE(PortOpenFailureText().empty());
  // A closed port fails at once, traced as a silent slave, instead of
  // waiting out 600 + m ms on a descriptor that poll() ignores.
  const auto start = Clock::now();
  EXPECT_EQ(ReadHoldingRegisters(g_port, 1, 149, 1, values), ResultTimeout);
  EXPECT_LT(MillisecondsSince(start), 300);
  EXPECT_EQ(NewestEntry(), "Send->01 03 00 95 00 01 94 26\r\nRecv->\r\n");

  // A device path longer than g_portName holds is reopened whole.
  const std::string dir = ::testing::TempDir() + "pylax-a-folder-with-a-rather-long-name";
  std::filesystem::create_directories(dir);
  const std::string longPath = dir + "/serial-port";
  std::filesystem::remove(longPath);
  std::filesystem::create_symlink(sim_.LinkPath(), longPath);
  ASSERT_TRUE(OpenPort(longPath.c_str(), 38400));
  EXPECT_EQ(std::strlen(g_portName), 31u);
  ReopenPort(9600);
  EXPECT_EQ(g_portOpen, 1) << "reopened by its whole name";
  EXPECT_EQ(ReadHoldingRegisters(g_port, 1, 149, 1, values), ResultOk);
  std::filesystem::remove_all(dir);
}

TEST(SerialLink, AVanishedDeviceFailsAtOnceAndWorksAgainWhenPickedAgain) {
  // The port is a name (a symlink) that points at whichever simulator is
  // there now, as /dev/ttyUSB0 names whichever adapter is plugged in.
  const std::string name = ::testing::TempDir() + "pylax-replugged";
  auto sim = std::make_unique<SimProcess>(std::vector<std::string>{"--meter", "1:QM4C", "--static"});
  std::filesystem::remove(name);
  std::filesystem::create_symlink(sim->LinkPath(), name);
  ASSERT_TRUE(OpenPort(name.c_str(), 38400));
  sim.reset();  // unplugged

  int values[1];
  const auto start = Clock::now();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(ReadHoldingRegisters(g_port, 1, 149, 1, values), ResultTimeout);
  EXPECT_LT(MillisecondsSince(start), 500) << "five transactions on a gone device fail at once";
  EXPECT_TRUE(PortDeviceGone());
  EXPECT_NE(PortGoneText().find(name + " has gone away"), std::string::npos) << PortGoneText();

  sim = std::make_unique<SimProcess>(std::vector<std::string>{"--meter", "1:QM4C", "--static"});
  std::filesystem::remove(name);
  std::filesystem::create_symlink(sim->LinkPath(), name);
  ASSERT_TRUE(OpenPort(name.c_str(), 38400)) << PortOpenFailureText();
  EXPECT_FALSE(PortDeviceGone());
  EXPECT_EQ(ReadHoldingRegisters(g_port, 1, 149, 1, values), ResultOk);
  ClosePort();
  std::filesystem::remove(name);
}

TEST(SerialLink, AWriteToADeviceThatTakesNoBytesGivesUp) {
  // A pseudo terminal whose other side reads nothing: once its buffer is
  // full, a write can never finish. The transaction must give up (25 + 5 x 8
  // ms for the write, then the read's 600 + 1 ms) rather than wait for ever.
  int controller = -1, device = -1;
  ASSERT_EQ(openpty(&controller, &device, nullptr, nullptr, nullptr), 0);
  const std::string path = ttyname(device);
  ASSERT_TRUE(OpenPort(path.c_str(), 38400));
  const uint8_t junk[256] = {};
  while (::write(g_port, junk, sizeof junk) > 0) {
  }
  auto transaction = std::async(std::launch::async, [] {
    int values[1];
    return ReadHoldingRegisters(g_port, 1, 149, 1, values);
  });
  // Should the write hang, reading the other side after 5 s frees it, so the
  // test fails instead of hanging.
  if (transaction.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    const int flags = fcntl(controller, F_GETFL);
    fcntl(controller, F_SETFL, flags | O_NONBLOCK);
    uint8_t sink[4096];
    while (transaction.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
      while (::read(controller, sink, sizeof sink) > 0) {
      }
    ADD_FAILURE() << "the write did not give up";
  }
  EXPECT_EQ(transaction.get(), ResultTimeout);
  ClosePort();
  close(device);
  close(controller);
}

TEST_F(MasterOverPty, ASecondProcessCannotOpenAnOpenPort) {
  const std::string path = sim_.LinkPath();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    g_portOpen = 0;  // this copy of the parent's state must not close its port
    const bool opened = OpenPort(path.c_str(), 38400);
    const bool saysBusy = PortOpenFailureText().find("in use") != std::string::npos;
    _exit(!opened && saysBusy ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the second opener must be refused as busy";
  int values[1];
  EXPECT_EQ(ReadHoldingRegisters(g_port, 1, 149, 1, values), ResultOk) << "the first opener keeps its port";
}

TEST(SerialLink, OpenFailureExplainsTheReason) {
  EXPECT_FALSE(OpenPort("/dev/pylax-no-such-device", 38400));
  EXPECT_EQ(g_portOpen, 0);
  EXPECT_NE(PortOpenFailureText().find("does not exist"), std::string::npos) << PortOpenFailureText();
  ReopenPort(9600);  // nothing was ever opened: stays closed, says nothing
  EXPECT_EQ(g_portOpen, 0);
}

TEST(SerialLink, DrainReturnsQuicklyWhenNothingIsPending) {
  SimProcess sim({"--meter", "1:QM4C", "--static"});
  ASSERT_TRUE(OpenPort(sim.LinkPath().c_str(), 38400));
  const auto start = Clock::now();
  for (int i = 0; i < 20; ++i) DrainInput(g_port);
  EXPECT_LT(MillisecondsSince(start), 1000) << "20 drains of about 1 ms each";
  ClosePort();
}

TEST(SerialLink, ASilentSlaveIsGivenUpOnAfterTheAnswerTimeTheLinkWasGiven) {
  // A read of 4 registers waits for 33 bytes: answerMs + 33 ms at 38400 baud.
  const struct {
    int answerMs, leastMs, mostMs;
  } cases[] = {{600, 633, 1000}, {150, 183, 550}};
  SimProcess sim({"--meter", "1:QM4C", "--static"});
  for (const auto& c : cases) {
    LinkSettings settings;
    settings.timeouts.answerMs = c.answerMs;
    ModbusLink link(settings);
    ASSERT_TRUE(link.Open(sim.LinkPath(), 38400)) << link.OpenFailureText();
    int values[4];
    const auto start = Clock::now();
    EXPECT_EQ(link.ReadHoldingRegisters(5, 258, 4, values), ResultTimeout);  // nobody at 5
    const long took = MillisecondsSince(start);
    EXPECT_GE(took, c.leastMs) << c.answerMs;
    EXPECT_LT(took, c.mostMs) << c.answerMs;
  }
}

}  // namespace
