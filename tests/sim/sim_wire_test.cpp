// qm4sim as a master sees it: the real binary on a pseudo terminal, raw
// request bytes in, answer bytes out, control commands and events beside.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>

#include "modbus/frame.h"
#include "tests/sim/raw_line.h"
#include "tests/support/sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;

class SimWire : public ::testing::Test {
 protected:
  void Start(const std::vector<std::string>& args) {
    sim_ = std::make_unique<SimProcess>(args);
    line_ = std::make_unique<RawLine>(sim_->LinkPath());
    ASSERT_TRUE(line_->IsOpen());
  }
  std::vector<int> ReadOk(int slave, int first, int count) {
    const Bytes answer = line_->Exchange(ReadRequest(slave, first, count));
    std::vector<int> values(static_cast<size_t>(count), -1);
    EXPECT_EQ(CheckReadResponse(answer.data(), static_cast<int>(answer.size()), slave, count, values.data()),
              ResultOk)
        << "read " << first << " count " << count;
    return values;
  }
  void WriteOk(int slave, int address, int value) {
    const Bytes answer = line_->Exchange(WriteRequest(slave, address, value));
    EXPECT_EQ(answer, WriteRequest(slave, address, value)) << "write " << address;
  }
  void ExpectSilence() { EXPECT_TRUE(line_->Receive(100, 800).empty()); }

  std::unique_ptr<SimProcess> sim_;
  std::unique_ptr<RawLine> line_;
};

std::string IdText(const Bytes& answer) {
  return answer.size() < 7 ? "" : std::string(answer.begin() + 5, answer.end() - 2);
}

float Pair(const std::vector<int>& regs, int offset) { return PairFloat(regs, offset); }

TEST_F(SimWire, IdentifiesEachModelByName) {
  Start({"--meter", "1:QM4A", "--meter", "2:QM4B", "--meter", "100:QM4C"});
  const struct {
    int slave;
    const char* text;
  } cases[] = {{1, "Orvant QM4A Power Meter"}, {2, "Orvant QM4B Power Meter"}, {100, "Orvant QM4C Power Meter"}};
  for (const auto& c : cases) {
    const Bytes answer = line_->Exchange(IdRequest(c.slave));
    int slaveId = -1;
    char text[100] = {};
    ASSERT_EQ(CheckReportSlaveIdResponse(answer.data(), static_cast<int>(answer.size()), c.slave, &slaveId, text,
                                         sizeof text),
              ResultOk);
    EXPECT_EQ(answer[4], 0xFF);  // run indicator
    EXPECT_STREQ(text, c.text);
  }
  EXPECT_EQ(sim_->TakeEvents(3), (std::vector<std::string>{"id 1", "id 2", "id 100"}));
}

TEST_F(SimWire, DefaultBusIsOneQm4cAtAddress3) {
  Start({});
  EXPECT_EQ(IdText(line_->Exchange(IdRequest(3))), "Orvant QM4C Power Meter");
  line_->Send(IdRequest(1));
  ExpectSilence();
  EXPECT_EQ(sim_->TakeEvents(1), (std::vector<std::string>{"id 3"}));  // none for address 1
}

TEST_F(SimWire, ReadingBlockIsPhysicallyConsistent) {
  Start({});
  for (int poll = 0; poll < 3; ++poll) {
    const std::vector<int> r = ReadOk(3, 258, 48);
    const float kw = Pair(r, 2), kva = Pair(r, 6), pf = Pair(r, 8), vll = Pair(r, 10), vln = Pair(r, 12);
    EXPECT_NEAR(Pair(r, 16) + Pair(r, 18) + Pair(r, 20), kw, 1e-3 * kw);
    EXPECT_NEAR(vll, 1.732 * vln, 0.01 * vll);
    EXPECT_NEAR((Pair(r, 28) + Pair(r, 30) + Pair(r, 32)) / 3, vll, 1e-3 * vll);
    EXPECT_NEAR((Pair(r, 34) + Pair(r, 36) + Pair(r, 38)) / 3, vln, 1e-3 * vln);
    EXPECT_NEAR((Pair(r, 40) + Pair(r, 42) + Pair(r, 44)) / 3, Pair(r, 14), 1e-3 * Pair(r, 14));
    EXPECT_GT(pf, 0.0f);
    EXPECT_LE(std::fabs(pf), 1.0f);
    for (int offset : {22, 24, 26}) EXPECT_LE(std::fabs(Pair(r, offset)), 1.0f);
    EXPECT_LE(kw, kva);
    EXPECT_GT(Pair(r, 0), 0.0f);  // kWh
    EXPECT_EQ(Pair(r, 46), 0.0f);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
}

TEST_F(SimWire, EnergyGrowsFromZeroAfterReset) {
  Start({});
  WriteOk(3, 128, 30078);
  EXPECT_EQ(sim_->TakeEvents(1), (std::vector<std::string>{"write 3 128 30078"}));
  const float start = Pair(ReadOk(3, 258, 4), 0);
  EXPECT_LT(start, 0.01f);  // about 100 kW: 0.03 kWh a second
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  const std::vector<int> r = ReadOk(3, 258, 4);
  EXPECT_GT(Pair(r, 0), start + 0.01f);
  EXPECT_GT(Pair(r, 2), 0.0f);
}

TEST_F(SimWire, ClockRunsAndIsSetRegisterByRegister) {
  Start({});
  WriteOk(3, 154, 15 * 256 + 6);   // 15 June
  WriteOk(3, 155, 14 * 256 + 9);   // 14 h, 2009
  WriteOk(3, 156, 7 * 256 + 3);    // 03:07
  const std::vector<int> first = ReadOk(3, 154, 3);
  EXPECT_EQ(first[0], 15 * 256 + 6);
  EXPECT_EQ(first[1], 14 * 256 + 9);
  EXPECT_EQ(first[2] & 0xFF, 3);
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  const std::vector<int> later = ReadOk(3, 154, 3);
  EXPECT_GE((later[2] >> 8) - (first[2] >> 8), 2);
  EXPECT_EQ(sim_->TakeEvents(3),
            (std::vector<std::string>{"write 3 154 3846", "write 3 155 3593", "write 3 156 1795", "read 3 154 3",
                                      "read 3 154 3"}));
  EXPECT_EQ(sim_->Command("clock 3 2010 1 12 7 45 30"), "ok");
  EXPECT_EQ(ReadOk(3, 154, 2), (std::vector<int>{12 * 256 + 1, 7 * 256 + 10}));
}

TEST_F(SimWire, MissingRegistersAndOtherFunctionsGetExceptions) {
  Start({"--meter", "3:QM4C", "--meter", "7:QM4A"});
  EXPECT_EQ(line_->Exchange(ReadRequest(7, 258, 48)), WithCrc({7, 0x83, 2}));
  EXPECT_EQ(line_->Exchange(ReadRequest(7, 149, 8)), WithCrc({7, 0x83, 2}));
  EXPECT_EQ(line_->Exchange(WriteRequest(3, 1023, 1)), WithCrc({3, 0x86, 2}));
  EXPECT_EQ(line_->Exchange(WithCrc({3, 4, 0, 0, 0, 1})), WithCrc({3, 0x84, 1}));
  EXPECT_EQ(ReadOk(7, 258, 4).size(), 4u);
}

TEST_F(SimWire, IgnoresBrokenAndForeignFramesAndAnswersTheNext) {
  Start({});
  Bytes broken = ReadRequest(3, 258, 4);
  broken[6] ^= 0xFF;
  line_->Send(broken);
  ExpectSilence();
  line_->Send(ReadRequest(9, 258, 4));
  ExpectSilence();
  // Garbage and a request in one write: the request still gets its answer.
  Bytes burst = {0xFF, 0x00, 0x13};
  const Bytes good = ReadRequest(3, 258, 4);
  burst.insert(burst.end(), good.begin(), good.end());
  EXPECT_EQ(line_->Exchange(burst).size(), 13u);
}

TEST_F(SimWire, BroadcastWriteReachesAllAndIsNotAnswered) {
  Start({"--meter", "3:QM4C", "--meter", "7:QM4B"});
  line_->Send(WriteRequest(0, 128, 30078));
  ExpectSilence();
  EXPECT_EQ(sim_->TakeEvents(2), (std::vector<std::string>{"write 3 128 30078", "write 7 128 30078"}));
  EXPECT_LT(Pair(ReadOk(7, 258, 4), 0), 0.05f);
}

struct FaultCase {
  const char* command;
  ModbusResult result;
};

TEST_F(SimWire, EachFaultProducesTheMastersResultCode) {
  Start({"--static"});
  const FaultCase cases[] = {
      {"fault 3 silent 1", ResultTimeout},        {"fault 3 cut 1", ResultBadLength},
      {"fault 3 exception 1", ResultException},   {"fault 3 badcrc 1", ResultCrc},
      {"fault 3 wrongaddr 1", ResultWrongAddress}, {"fault 3 wrongfunc 1", ResultWrongFunction},
      {"fault 3 badcount 1", ResultBadByteCount},
  };
  for (const FaultCase& c : cases) {
    ASSERT_EQ(sim_->Command(c.command), "ok");
    const Bytes answer = line_->Exchange(ReadRequest(3, 258, 48));
    int values[48];
    const ModbusResult result = answer.empty() ? ResultTimeout
                                      : CheckReadResponse(answer.data(), static_cast<int>(answer.size()), 3, 48, values);
    EXPECT_EQ(result, c.result) << c.command;
    EXPECT_EQ(ReadOk(3, 258, 48).size(), 48u) << "after " << c.command;  // COUNT 1: the next is good
  }
  ASSERT_EQ(sim_->Command("fault 3 oversize 1"), "ok");
  EXPECT_GT(line_->Exchange(ReadRequest(3, 258, 48)).size(), 2u * 48 + 25);  // more than asked for
  ASSERT_EQ(sim_->Command("fault 3 echo 1"), "ok");
  const Bytes echo = line_->Exchange(WriteRequest(3, 157, 2));
  EXPECT_EQ(CheckWriteResponse(echo.data(), static_cast<int>(echo.size()), 3, 157, 2), ResultWriteMismatch);
  EXPECT_EQ(sim_->Command("get 3 157"), "ok 2");
}

TEST_F(SimWire, PauseCutsTheAnswerAtTheMastersSilence) {
  Start({});
  ASSERT_EQ(sim_->Command("fault 3 pause 200 1"), "ok");
  line_->Send(ReadRequest(3, 258, 48));
  // The master ends a read after 35 ms without a byte: it gets half.
  const Bytes first = line_->Receive(35);
  EXPECT_EQ(first.size(), 101u / 2);
  const Bytes rest = line_->Receive(100);
  EXPECT_EQ(first.size() + rest.size(), 101u);
}

TEST_F(SimWire, DelayedAnswerArrivesAsStaleBytes) {
  Start({});
  ASSERT_EQ(sim_->Command("fault 3 delay 900 1"), "ok");
  line_->Send(ReadRequest(3, 258, 4));
  EXPECT_TRUE(line_->Receive(35, 625 + 8).empty());  // the master's read gives up: result 1
  const Bytes late = line_->Receive(100, 2000);
  EXPECT_EQ(late.size(), 13u);  // there before the next transaction's drain
}

TEST_F(SimWire, FaultFromTheCommandLineAndClearing) {
  Start({"--fault", "3:exception:2"});
  EXPECT_EQ(line_->Exchange(IdRequest(3)), WithCrc({3, 0x91, 2}));
  EXPECT_EQ(line_->Exchange(IdRequest(3)), WithCrc({3, 0x91, 2}));
  ASSERT_EQ(sim_->Command("fault 3 none"), "ok");
  EXPECT_EQ(IdText(line_->Exchange(IdRequest(3))), "Orvant QM4C Power Meter");
}

TEST_F(SimWire, PrefilledLogReadsLikeADownload) {
  Start({"--static", "--prefill", "130", "--subinterval", "60"});
  const std::vector<int> status = ReadOk(3, 149, 14);
  EXPECT_EQ(status[0], 60);       // sub-interval
  EXPECT_EQ(status[160 - 149], 0);  // rollovers
  EXPECT_EQ(status[162 - 149], 130);
  const std::vector<int> newest = ReadOk(3, 165, 13);
  // Default slots: kWh MSW, kWh LSW, kW, PF, VLN, AMPS-AVG, HZ, kW float pair, free.
  EXPECT_EQ(std::vector<int>(newest.begin() + 3, newest.end()),
            (std::vector<int>{1, 2, 3, 6, 8, 9, 26, 261, 262, 0}));
  EXPECT_NE(newest[0], 0);  // a real time stamp
  WriteOk(3, 157, 3);       // kW
  std::vector<int> kw = ReadOk(3, 7999, 125);
  const std::vector<int> tail = ReadOk(3, 8124, 5);
  kw.insert(kw.end(), tail.begin(), tail.end());
  for (int v : kw) EXPECT_GT(v, 1000);  // over 10 kW at exponent -2
  EXPECT_NE(kw[0], kw[1]);              // entries differ from one sub-interval to the next
  EXPECT_EQ(ReadOk(3, 8129, 1)[0], 0);  // no entry 130
  EXPECT_EQ(sim_->Command("set 3 157 8"), "ok");
  const std::vector<int> hi = ReadOk(3, 7999, 2);
  EXPECT_EQ(sim_->Command("set 3 157 9"), "ok");
  const std::vector<int> lo = ReadOk(3, 7999, 2);
  const std::vector<int> entry0 = {hi[0], lo[0]};
  EXPECT_NEAR(Pair(entry0, 0), kw[0] * 0.01, 0.006);  // the float pair and the integer agree
}

TEST_F(SimWire, RestartCommandErasesAndEnergyCommandResets) {
  Start({"--prefill", "500"});
  EXPECT_EQ(ReadOk(3, 162, 1)[0], 500);
  WriteOk(3, 128, 16640);
  const std::vector<int> status = ReadOk(3, 159, 9);
  EXPECT_EQ(status[1], 0);
  EXPECT_EQ(status[3], 0);
  EXPECT_EQ(std::vector<int>(status.begin() + 6, status.end()), (std::vector<int>{0, 0, 0}));
  EXPECT_GT(Pair(ReadOk(3, 258, 2), 0), 100.0f);
  WriteOk(3, 128, 30078);
  EXPECT_LT(Pair(ReadOk(3, 258, 2), 0), 0.05f);
}

TEST_F(SimWire, LogRollsOverAtCapacity) {
  Start({"--subinterval", "60"});
  ASSERT_EQ(sim_->Command("prefill 3 5759"), "ok");
  std::vector<int> status = ReadOk(3, 159, 9);
  EXPECT_EQ(status[1], 0);
  EXPECT_EQ(status[3], 5759);
  ASSERT_EQ(sim_->Command("capture 3"), "ok");
  status = ReadOk(3, 159, 9);
  EXPECT_EQ(status[1], 1);
  EXPECT_EQ(status[3], 5760);
  ASSERT_EQ(sim_->Command("capture 3 5760"), "ok");
  status = ReadOk(3, 159, 9);
  EXPECT_EQ(status[1], 2);
  EXPECT_EQ(status[3], 5760);
  // One-shot: a full log takes nothing more.
  WriteOk(3, 158, 1);
  ASSERT_EQ(sim_->Command("prefill 3 5800"), "ok");
  status = ReadOk(3, 159, 9);
  EXPECT_EQ(status[1], 1);
  EXPECT_EQ(status[3], 5760);
  EXPECT_EQ(status[2], 0);  // days until rollover
}

TEST_F(SimWire, PacedAtTheBaudRate) {
  Start({"--baud", "9600", "--static"});
  const auto start = Clock::now();
  const Bytes answer = line_->Exchange(ReadRequest(3, 7999, 125), 50);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_EQ(answer.size(), 255u);
  // 255 characters of 10 bits at 9600 baud take 266 ms; a lower bound only.
  EXPECT_GT(seconds, 0.8 * 255 * 10 / 9600);
}

// A real slave finds frames by the line's silence: a request that starts
// sooner than 3.5 characters (11 bits; 1.75 ms above 19200 baud) after the
// answer before it is that answer's tail, and goes unanswered. Cases stay
// well clear of the edge; one that lands on the wrong side of it on a busy
// machine (a late "too soon") is tried again.
TEST_F(SimWire, PacedLineTakesARequestThatStartsTooSoonForATail) {
  const struct {
    int baud;
    int gapUs;  // from the answer's last byte to the next request
    bool answered;
  } cases[] = {{38400, 0, false}, {38400, 3000, true}, {9600, 1500, false}, {9600, 7000, true}};
  for (const auto& c : cases) {
    Start({"--baud", std::to_string(c.baud), "--static"});
    bool answered = !c.answered;
    std::vector<std::string> events;
    for (int attempt = 0; attempt < 3 && answered != c.answered; ++attempt) {
      line_->Send(ReadRequest(3, 258, 2));
      ASSERT_EQ(line_->ReceiveCount(9).size(), 9u);
      std::this_thread::sleep_for(std::chrono::microseconds(c.gapUs));
      line_->Send(ReadRequest(3, 258, 2));
      answered = !line_->Receive(60, 300).empty();
      events = sim_->TakeEvents(1);
    }
    EXPECT_EQ(answered, c.answered) << c.baud << " baud, " << c.gapUs << " us";
    const bool tail = !events.empty() && events.back().rfind("tail ", 0) == 0;
    EXPECT_EQ(tail, !c.answered) << c.baud << " baud: " << (events.empty() ? "" : events.back());
  }
}

TEST_F(SimWire, KeepsServingWhileNobodyReadsItsEvents) {
  Start({});
  // 6000 broadcast writes make 6000 event lines, far more than a pipe holds.
  Bytes burst;
  for (int i = 0; i < 6000; ++i) {
    const Bytes w = WriteRequest(0, 157, i % 11);
    burst.insert(burst.end(), w.begin(), w.end());
  }
  line_->Send(burst);
  EXPECT_EQ(ReadOk(3, 157, 1)[0], 5999 % 11);
  EXPECT_EQ(sim_->Command("get 3 157"), "ok " + std::to_string(5999 % 11));
  const std::vector<std::string> events = sim_->TakeEvents();
  ASSERT_EQ(events.size(), 6001u);
  EXPECT_EQ(events[5999], "write 3 157 " + std::to_string(5999 % 11));
}

TEST(SimProcessStart, ReportsASimulatorThatCannotStart) {
  // A refused command line: qm4sim exits with its usage error at once.
  EXPECT_NONFATAL_FAILURE({ SimProcess bad({"--meter", "3:QM4Z"}); }, "qm4sim did not get ready");
}

TEST_F(SimWire, EndsCleanlyOnSigtermAndQuit) {
  for (const bool quit : {false, true}) {
    Start({});
    const std::string link = sim_->LinkPath();
    ASSERT_EQ(access(link.c_str(), F_OK), 0);
    if (quit)
      EXPECT_EQ(sim_->Command("quit"), "ok");
    else
      ASSERT_EQ(kill(sim_->Pid(), SIGTERM), 0);
    siginfo_t info{};
    // WNOWAIT leaves the child for SimProcess to reap.
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(sim_->Pid()), &info, WEXITED | WNOWAIT), 0);
    EXPECT_EQ(info.si_code, CLD_EXITED);
    EXPECT_EQ(info.si_status, 0);
    EXPECT_NE(access(link.c_str(), F_OK), 0) << "link left behind";
    line_.reset();
    sim_.reset();
  }
}

}  // namespace
