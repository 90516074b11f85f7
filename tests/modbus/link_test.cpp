// The master over a real pseudo terminal against qm4sim: every result code
// produced by a real frame on the line, the timeouts, the drain, the trace
// ring, reopening and exclusive opening.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
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
    ASSERT_TRUE(OpenPort(sim_.LinkPath().c_str(), 38400)) << PortOpenFailureText();
  }
  void TearDown() override { ClosePort(); }

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

TEST_F(MasterOverPty, EveryFailureCodeFromARealFrame) {
  int values[4] = {11, 22, 33, 44};
  const struct {
    const char* fault;
    ModbusResult expected;
  } cases[] = {
      {"oversize", ResultTooLarge},   {"cut", ResultBadLength},           {"exception", ResultException},
      {"badcrc", ResultCrc},          {"wrongaddr", ResultWrongAddress},  {"wrongfunc", ResultWrongFunction},
      {"badcount", ResultBadByteCount},
  };
  for (const auto& c : cases) {
    Fault(c.fault);
    // 48 registers: the largest read the poll makes, 101 bytes back.
    int block[48];
    EXPECT_EQ(ReadHoldingRegisters(g_port, 1, 258, c.fault == std::string("oversize") ? 4 : 48, block), c.expected)
        << c.fault;
    Fault("none");
  }
  // A register the meter does not have is an exception without any fault.
  EXPECT_EQ(ReadHoldingRegisters(g_port, 1, 5000, 4, values), ResultException);
  EXPECT_EQ(values[0], 11) << "the caller's array is untouched on failure";

  Fault("echo");
  EXPECT_EQ(WriteSingleRegister(g_port, 1, 149, 61), ResultWriteMismatch);
  Fault("none");
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
  } reads[] = {{1, 258, 0}, {1, 258, 510}, {1, -1, 4}, {1, 65500, 36}, {256, 258, 4}, {-1, 258, 4}, {1, 65535, 1}};
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
  EXPECT_EQ(ReadHoldingRegisters(g_port, 1, 149, 1, values), ResultTimeout);
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

}  // namespace
