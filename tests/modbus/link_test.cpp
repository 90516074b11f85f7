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

#include "modbus/link.h"
#include "tests/support/sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;

long MillisecondsSince(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class MasterOverPty : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(link_.Open(sim_.LinkPath(), 38400)) << link_.OpenFailureText(); }

  std::string NewestEntry() const { return link_.Trace().entries[link_.Trace().newest]; }
  void Fault(const std::string& kind) { ASSERT_EQ(sim_.Command("fault 1 " + kind).substr(0, 2), "ok"); }

  SimProcess sim_{{"--meter", "1:QM4C", "--meter", "2:QM4A", "--static"}};
  ModbusLink link_;
};

TEST_F(MasterOverPty, EachTransactionEndToEnd) {
  ASSERT_EQ(sim_.Command("set 1 149 900").substr(0, 2), "ok");
  int values[8] = {};
  EXPECT_EQ(link_.ReadHoldingRegisters(1, 149, 8, values), ResultOk);
  EXPECT_EQ(values[0], 900);
  EXPECT_EQ(NewestEntry().substr(0, 31), "Send->01 03 00 95 00 08 54 20\r\n");
  // 8 registers: a 21-byte answer, 3 * 21 + 7 characters.
  EXPECT_EQ(NewestEntry().size(), 31u + 3 * 21 + 7);

  EXPECT_EQ(link_.WriteSingleRegister(1, 149, 60), ResultOk);
  const auto events = sim_.TakeEvents(2);
  EXPECT_NE(std::find(events.begin(), events.end(), "write 1 149 60"), events.end());
  EXPECT_EQ(link_.ReadHoldingRegisters(1, 149, 1, values), ResultOk);
  EXPECT_EQ(values[0], 60);

  int id = -1;
  char text[kSlaveIdTextSize] = "";
  EXPECT_EQ(link_.ReportSlaveId(2, &id, text), ResultOk);
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
  const auto run = [this](Call call) -> ModbusResult {
    int values[48] = {};
    int id = 0;
    char text[kSlaveIdTextSize] = "";
    switch (call) {
      case Call::Read4: return link_.ReadHoldingRegisters(1, 258, 4, values);
      case Call::Read48: return link_.ReadHoldingRegisters(1, 258, 48, values);  // the poll's largest, 101 bytes
      case Call::ReadMissing: return link_.ReadHoldingRegisters(1, 5000, 4, values);
      case Call::ReadRefused: return link_.ReadHoldingRegisters(1, 258, 0, values);
      case Call::Write: return link_.WriteSingleRegister(1, 149, 61);
      case Call::Id: return link_.ReportSlaveId(1, &id, text);
    }
    return ResultOk;
  };
  for (const auto& c : cases) {
    std::string entries[2];
    for (const Framing framing : {Framing::Silence, Framing::Length}) {
      link_.SetSettings(LinkSettings{framing, {}, {}});
      Fault(c.fault);
      const unsigned long tallied = link_.TransactionsWith(c.expected);
      EXPECT_EQ(run(c.call), c.expected) << c.fault << " under " << FramingName(framing);
      EXPECT_EQ(link_.TransactionsWith(c.expected), tallied + 1) << c.fault << ": tallied under its result";
      entries[static_cast<int>(framing)] = NewestEntry();
      Fault("none");
    }
    EXPECT_EQ(entries[1], entries[0]) << c.fault << ": the trace must not tell the framings apart";
  }
  int values[4] = {11, 22, 33, 44};
  EXPECT_EQ(link_.ReadHoldingRegisters(1, 5000, 4, values), ResultException);
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
    link_.SetSettings(LinkSettings{c.framing, {}, {}});
    Fault("oversize");
    int values[4] = {};
    EXPECT_EQ(link_.ReadHoldingRegisters(1, 258, 4, values), c.expected) << FramingName(c.framing);
    const std::string entry = NewestEntry();
    EXPECT_EQ(entry.size(), 31u + 6 + 3 * c.bytesShown + 1) << entry;
    Fault("none");
    ASSERT_EQ(sim_.Command("set 1 149 " + std::to_string(700 + c.bytesShown)).substr(0, 2), "ok");
    EXPECT_EQ(link_.ReadHoldingRegisters(1, 149, 1, values), ResultOk) << FramingName(c.framing);
    EXPECT_EQ(values[0], static_cast<int>(700 + c.bytesShown)) << "the trailing bytes went to the drain";
  }
}

TEST_F(MasterOverPty, SilentSlaveTimesOutAndLeavesAnEmptyResponseLine) {
  Fault("silent");
  int values[4];
  const auto start = Clock::now();
  EXPECT_EQ(link_.ReadHoldingRegisters(1, 258, 4, values), ResultTimeout);
  const long elapsed = MillisecondsSince(start);
  // 600 + 33 ms for a read of 4; the lower bound is what the design promises
  // the slave, the upper bound only proves the read ends.
  EXPECT_GE(elapsed, 633);
  EXPECT_LT(elapsed, 5000);
  EXPECT_EQ(NewestEntry(), "Send->01 03 01 02 00 04 E4 35\r\nRecv->\r\n");

  int id = 0;
  char text[kSlaveIdTextSize];
  const auto idStart = Clock::now();
  EXPECT_EQ(link_.ReportSlaveId(1, &id, text), ResultTimeout);
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
    EXPECT_EQ(link_.ReadHoldingRegisters(r.slave, r.first, r.count, values), ResultBadParameter)
        << r.slave << " " << r.first << " " << r.count;
  }
  EXPECT_EQ(link_.WriteSingleRegister(1, 1024, 0), ResultBadParameter);
  EXPECT_EQ(link_.WriteSingleRegister(1, 149, 65536), ResultBadParameter);
  EXPECT_EQ(link_.WriteSingleRegister(1, 149, -1), ResultBadParameter);
  int id;
  char text[kSlaveIdTextSize];
  EXPECT_EQ(link_.ReportSlaveId(256, &id, text), ResultBadParameter);
  EXPECT_EQ(link_.Trace().newest, 0);
  EXPECT_TRUE(sim_.TakeEvents(0, 300).empty()) << "nothing may reach the line";

  // The boundaries themselves go out.
  EXPECT_EQ(link_.ReadHoldingRegisters(1, 65534, 1, values), ResultException);
  EXPECT_EQ(link_.WriteSingleRegister(1, 1023, 0), ResultException);
  EXPECT_EQ(link_.Trace().newest, 2);
}

TEST_F(MasterOverPty, LargestReadFitsItsBufferAndTraceEntry) {
  int values[509];
  // 509 registers from address 7999: whatever the meter answers, nothing may
  // overrun (the sanitizer build checks), and the entry ends with its line end.
  const ModbusResult result = link_.ReadHoldingRegisters(1, 7999, 509, values);
  EXPECT_NE(result, ResultBadParameter);
  const std::string entry = NewestEntry();
  EXPECT_LT(entry.size(), static_cast<size_t>(kTraceEntryChars));
  EXPECT_EQ(entry.substr(entry.size() - 2), "\r\n");
}

TEST_F(MasterOverPty, LateAnswerIsDrainedByTheNextTransaction) {
  Fault("delay 900");
  int values[4] = {};
  EXPECT_EQ(link_.ReadHoldingRegisters(1, 258, 4, values), ResultTimeout);
  Fault("none");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the late answer has landed by now
  ASSERT_EQ(sim_.Command("set 1 149 1234").substr(0, 2), "ok");
  EXPECT_EQ(link_.ReadHoldingRegisters(1, 149, 1, values), ResultOk);
  EXPECT_EQ(values[0], 1234) << "stale bytes must not be taken for this answer";
}

TEST_F(MasterOverPty, LateAnswerStillArrivingIsDrainedToItsEnd) {
  // At 1200 baud an 85-byte answer takes 708 ms; it starts after the read
  // for it has given up and is still coming in when the next transaction
  // begins, so the drain must follow it to its end, not stop at the first
  // moment the buffer is empty.
  ASSERT_EQ(sim_.Command("baud 1200").substr(0, 2), "ok");
  link_.Reopen(1200);
  Fault("delay 1650");
  int values[40] = {};
  EXPECT_EQ(link_.ReadHoldingRegisters(1, 258, 40, values), ResultTimeout);  // gives up at 600 + 9 * 105 ms
  Fault("none");
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  ASSERT_EQ(sim_.Command("set 1 149 4321").substr(0, 2), "ok");
  EXPECT_EQ(link_.ReadHoldingRegisters(1, 149, 1, values), ResultOk) << NewestEntry();
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
    link_.Reopen(c.baud);
    int values[125];
    EXPECT_EQ(link_.ReadHoldingRegisters(1, 7999, c.count, values), ResultOk) << c.baud << " baud";
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
  EXPECT_EQ(link_.ReadHoldingRegisters(1, 258, 48, values), ResultBadLength);
  const std::string entry = NewestEntry();
  const size_t recv = entry.find("Recv->");
  ASSERT_NE(recv, std::string::npos);
  const size_t bytesShown = (entry.size() - recv - 7) / 3;
  EXPECT_GT(bytesShown, 0u);
  EXPECT_LT(bytesShown, 101u);
  Fault("none");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(link_.ReadHoldingRegisters(1, 149, 1, values), ResultOk) << "the rest is drained";
}

TEST_F(MasterOverPty, ThirteenthTransactionOverwritesTheFirstEntry) {
  int values[1];
  for (int i = 0; i < 12; ++i) ASSERT_EQ(link_.ReadHoldingRegisters(1, 149 + i, 1, values), ResultOk);
  EXPECT_EQ(link_.Trace().newest, 0);
  EXPECT_EQ(std::string(link_.Trace().entries[1]).substr(0, 18), "Send->01 03 00 95 ") << "address 149 first";
  ASSERT_EQ(link_.ReadHoldingRegisters(1, 200, 1, values), ResultException);
  EXPECT_EQ(link_.Trace().newest, 1);
  EXPECT_EQ(std::string(link_.Trace().entries[1]).substr(0, 18), "Send->01 03 00 C8 ");
  // In time order: the second transaction (address 150) is now the oldest.
  EXPECT_EQ(std::string(link_.Trace().OldestFirst(0)).substr(0, 18), "Send->01 03 00 96 ");
  EXPECT_EQ(std::string(link_.Trace().OldestFirst(kTraceEntries - 1)).substr(0, 18), "Send->01 03 00 C8 ");
}

TEST_F(MasterOverPty, RepaintIsAskedOnlyWhileTheTraceIsLive) {
  int requests = 0;
  link_.Trace().repaintRequest = [](void* count) { ++*static_cast<int*>(count); };
  link_.Trace().repaintContext = &requests;
  int values[1];
  link_.ReadHoldingRegisters(1, 149, 1, values);
  EXPECT_EQ(requests, 0);
  link_.Trace().live = 1;
  link_.ReadHoldingRegisters(1, 149, 1, values);
  link_.ReadHoldingRegisters(1, 149, 0, values);  // refused: no entry, no repaint
  EXPECT_EQ(requests, 1);
}

TEST_F(MasterOverPty, ReopeningAtAnotherRate) {
  link_.Reopen(9600);
  EXPECT_TRUE(link_.IsOpen());
  int values[1];
  EXPECT_EQ(link_.ReadHoldingRegisters(1, 149, 1, values), ResultOk);
  EXPECT_STREQ(link_.Name(), sim_.LinkPath().c_str());

  // A port that does not exist: false, and the open one is closed.
  EXPECT_FALSE(link_.Open("COM7:", 38400));
  EXPECT_FALSE(link_.IsOpen());
  EXPECT_STREQ(link_.Name(), sim_.LinkPath().c_str()) << "only a successful open names the port";
  EXPECT_FALSE(link_.Open("COM0:", 38400));
  EXPECT_FALSE(link_.OpenFailureText().empty());
  // A closed port fails at once, traced as a silent slave, instead of
  // waiting out 600 + m ms on a descriptor that poll() ignores.
  const auto start = Clock::now();
  EXPECT_EQ(link_.ReadHoldingRegisters(1, 149, 1, values), ResultTimeout);
  EXPECT_LT(MillisecondsSince(start), 300);
  EXPECT_EQ(NewestEntry(), "Send->01 03 00 95 00 01 94 26\r\nRecv->\r\n");

  // A device path longer than link_.Name() holds is reopened whole.
  const std::string dir = ::testing::TempDir() + "pylax-a-folder-with-a-rather-long-name";
  std::filesystem::create_directories(dir);
  const std::string longPath = dir + "/serial-port";
  std::filesystem::remove(longPath);
  std::filesystem::create_symlink(sim_.LinkPath(), longPath);
  ASSERT_TRUE(link_.Open(longPath.c_str(), 38400));
  EXPECT_EQ(std::strlen(link_.Name()), 31u);
  link_.Reopen(9600);
  EXPECT_TRUE(link_.IsOpen()) << "reopened by its whole name";
  EXPECT_EQ(link_.ReadHoldingRegisters(1, 149, 1, values), ResultOk);
  std::filesystem::remove_all(dir);
}

TEST(SerialLink, AVanishedDeviceFailsAtOnceAndWorksAgainWhenPickedAgain) {
  ModbusLink link;
  // The port is a name (a symlink) that points at whichever simulator is
  // there now, as /dev/ttyUSB0 names whichever adapter is plugged in.
  const std::string name = ::testing::TempDir() + "pylax-replugged";
  auto sim = std::make_unique<SimProcess>(std::vector<std::string>{"--meter", "1:QM4C", "--static"});
  std::filesystem::remove(name);
  std::filesystem::create_symlink(sim->LinkPath(), name);
  ASSERT_TRUE(link.Open(name.c_str(), 38400));
  sim.reset();  // unplugged

  int values[1];
  const auto start = Clock::now();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(link.ReadHoldingRegisters(1, 149, 1, values), ResultTimeout);
  EXPECT_LT(MillisecondsSince(start), 500) << "five transactions on a gone device fail at once";
  EXPECT_TRUE(link.DeviceGone());
  EXPECT_NE(link.GoneText().find(name + " has gone away"), std::string::npos) << link.GoneText();

  sim = std::make_unique<SimProcess>(std::vector<std::string>{"--meter", "1:QM4C", "--static"});
  std::filesystem::remove(name);
  std::filesystem::create_symlink(sim->LinkPath(), name);
  ASSERT_TRUE(link.Open(name.c_str(), 38400)) << link.OpenFailureText();
  EXPECT_FALSE(link.DeviceGone());
  EXPECT_EQ(link.ReadHoldingRegisters(1, 149, 1, values), ResultOk);
  link.Close();
  std::filesystem::remove(name);
}

TEST(SerialLink, AWriteToADeviceThatTakesNoBytesGivesUp) {
  ModbusLink link;
  // A pseudo terminal whose other side reads nothing: once its buffer is
  // full, a write can never finish. The transaction must give up (25 + 5 x 8
  // ms for the write, then the read's 600 + 1 ms) rather than wait for ever.
  int controller = -1, device = -1;
  ASSERT_EQ(openpty(&controller, &device, nullptr, nullptr, nullptr), 0);
  const std::string path = ttyname(device);
  ASSERT_TRUE(link.Open(path.c_str(), 38400));
  const uint8_t junk[256] = {};
  while (::write(link.Descriptor(), junk, sizeof junk) > 0) {
  }
  auto transaction = std::async(std::launch::async, [&link] {
    int values[1];
    return link.ReadHoldingRegisters(1, 149, 1, values);
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
  link.Close();
  close(device);
  close(controller);
}

TEST_F(MasterOverPty, ASecondProcessCannotOpenAnOpenPort) {
  const std::string path = sim_.LinkPath();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ModbusLink second;
    const bool opened = second.Open(path, 38400);
    const bool saysBusy = second.OpenFailureText().find("in use") != std::string::npos;
    _exit(!opened && saysBusy ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the second opener must be refused as busy";
  int values[1];
  EXPECT_EQ(link_.ReadHoldingRegisters(1, 149, 1, values), ResultOk) << "the first opener keeps its port";
}

TEST(SerialLink, OpenFailureExplainsTheReason) {
  ModbusLink link;
  EXPECT_FALSE(link.Open("/dev/pylax-no-such-device", 38400));
  EXPECT_FALSE(link.IsOpen());
  EXPECT_NE(link.OpenFailureText().find("does not exist"), std::string::npos) << link.OpenFailureText();
  link.Reopen(9600);  // nothing was ever opened: stays closed, says nothing
  EXPECT_FALSE(link.IsOpen());
}

TEST(SerialLink, DrainReturnsQuicklyWhenNothingIsPending) {
  ModbusLink link;
  SimProcess sim({"--meter", "1:QM4C", "--static"});
  ASSERT_TRUE(link.Open(sim.LinkPath().c_str(), 38400));
  const auto start = Clock::now();
  for (int i = 0; i < 20; ++i) link.DrainInput();
  EXPECT_LT(MillisecondsSince(start), 1000) << "20 drains of about 1 ms each";
  link.Close();
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
