// Framing, faults, pacing, options and control commands of the simulator,
// without a terminal. Each fault is judged by the master's own response
// checks, so a fault that stops producing its result code fails here.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

#include "meter/register_map.h"
#include "modbus/frame.h"
#include "sim/control.h"
#include "sim/line_output.h"
#include "sim/options.h"
#include "sim/rtu.h"
#include "sim/sim_bus.h"
#include "tests/sim/raw_line.h"

namespace {

constexpr double kT0 = 50.0;

std::string ReadWholeText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<Request> FeedAll(RequestFramer& f, const Bytes& bytes, double now) {
  std::vector<Request> out;
  f.Feed(bytes.data(), bytes.size(), now, &out);
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST(SimFramer, FindsRequestsInAnyChunking) {
  RequestFramer f(0.05);
  const Bytes stream = Concat({ReadRequest(3, 258, 48), IdRequest(7), WriteRequest(3, 128, 30078)});
  std::vector<Request> got;
  for (size_t i = 0; i < stream.size(); ++i) f.Feed(&stream[i], 1, kT0, &got);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].slave, 3);
  EXPECT_EQ(got[0].function, 3);
  EXPECT_EQ(got[0].first, 258);
  EXPECT_EQ(got[0].count, 48);
  EXPECT_EQ(got[1].slave, 7);
  EXPECT_EQ(got[1].function, 17);
  EXPECT_EQ(got[2].first, 128);
  EXPECT_EQ(got[2].count, 30078);
  EXPECT_EQ(f.Pending(), 0u);
  // Reads of 509 bytes cut frames anywhere; none may be lost.
  Bytes many;
  for (int i = 0; i < 200; ++i) {
    const Bytes r = ReadRequest(3, i, 1);
    many.insert(many.end(), r.begin(), r.end());
  }
  got.clear();
  for (size_t i = 0; i < many.size(); i += 509) f.Feed(&many[i], std::min<size_t>(509, many.size() - i), kT0, &got);
  ASSERT_EQ(got.size(), 200u);
  EXPECT_EQ(got[199].first, 199);
}

TEST(SimFramer, KeepsNoNoiseBacklog) {
  RequestFramer f(0.05);
  const Bytes noise(2000, 0xEE);  // function 0xEE: no length known
  std::vector<Request> got;
  f.Feed(noise.data(), noise.size(), kT0, &got);
  EXPECT_LE(f.Pending(), 512u);
  const Bytes good = IdRequest(3);
  f.Feed(good.data(), good.size(), kT0, &got);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].slave, 3);
}

TEST(SimFramer, DropsBadCrcAndResynchronises) {
  RequestFramer f(0.05);
  Bytes bad = ReadRequest(3, 258, 48);
  bad[7] ^= 0x40;
  // Noise, a broken request and a good one back to back: only the good one.
  const auto got = FeedAll(f, Concat({{0x00, 0xFF, 0x42}, bad, IdRequest(3)}), kT0);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].function, 17);
}

TEST(SimFramer, SilenceEndsPartialAndUnknownFrames) {
  RequestFramer f(0.05);
  const Bytes request = ReadRequest(3, 258, 48);
  EXPECT_TRUE(FeedAll(f, Bytes(request.begin(), request.begin() + 5), kT0).empty());
  std::vector<Request> got;
  f.CheckSilence(kT0 + 0.04, &got);
  EXPECT_EQ(f.Pending(), 5u);
  f.CheckSilence(kT0 + 0.06, &got);
  EXPECT_EQ(f.Pending(), 0u);
  EXPECT_TRUE(got.empty());
  // The rest arriving later is no request either; the next whole one is.
  EXPECT_TRUE(FeedAll(f, Bytes(request.begin() + 5, request.end()), kT0 + 0.1).empty());
  f.CheckSilence(kT0 + 0.2, &got);
  EXPECT_EQ(FeedAll(f, request, kT0 + 0.3).size(), 1u);
  // A function of unknown length is one frame at the silence if its CRC holds.
  const Bytes odd = WithCrc({3, 0x41, 1, 2, 3});
  EXPECT_TRUE(FeedAll(f, odd, kT0 + 1).empty());
  f.CheckSilence(kT0 + 1.1, &got);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].function, 0x41);
}

class SimBusTest : public ::testing::Test {
 protected:
  SimBusTest() : bus([this](const std::string& e) { events.push_back(e); }) {
    MeterSetup s;
    s.staticValues = true;
    bus.AddMeter(s, kT0);  // 3:QM4C
    s.address = 7;
    s.model = Model::QM4A;
    bus.AddMeter(s, kT0);
  }
  Bytes Answer(const Bytes& request, double now = kT0) {
    RequestFramer f(0.05);
    const auto requests = FeedAll(f, request, now);
    EXPECT_EQ(requests.size(), 1u);
    Bytes all;
    for (const AnswerChunk& c : bus.Handle(requests.at(0), now))
      all.insert(all.end(), c.bytes.begin(), c.bytes.end());
    return all;
  }
  void Fault(const std::string& faultText, int remaining = 0, int only = -1) {
    std::string error;
    auto f = ParseFaultText(faultText, &error);
    ASSERT_TRUE(f) << error;
    f->remaining = remaining;
    f->onlyAddress = only;
    bus.SetFault(3, *f);
  }
  ModbusResult ReadResult(const Bytes& answer, int count = 48) {
    int values[125];
    // The transport's own verdict first: more than asked for is result 2.
    if (answer.size() > static_cast<size_t>(2 * count + 25)) return ResultTooLarge;
    if (answer.empty()) return ResultTimeout;
    return CheckReadResponse(answer.data(), static_cast<int>(answer.size()), 3, count, values);
  }
  SimBus bus;
  std::vector<std::string> events;
};

TEST_F(SimBusTest, AnswersExceptionsAndSilences) {
  EXPECT_EQ(ReadResult(Answer(ReadRequest(3, 258, 48))), ResultOk);
  EXPECT_EQ(Answer(ReadRequest(7, 258, 48)), WithCrc({7, 0x83, 2}));    // QM4A: no such block
  EXPECT_EQ(Answer(ReadRequest(3, 500, 1)), WithCrc({3, 0x83, 2}));
  EXPECT_EQ(Answer(WithCrc({3, 16, 0, 128, 0, 1, 2, 0, 0})), WithCrc({3, 0x90, 1}));  // function 16
  EXPECT_EQ(Answer(WriteRequest(3, 300, 1)), WithCrc({3, 0x86, 2}));  // read-only
  EXPECT_TRUE(Answer(IdRequest(9)).empty());                           // nobody there
  EXPECT_EQ(events, (std::vector<std::string>{"read 3 258 48", "read 7 258 48", "read 3 500 1", "other 3 16"}));
}

TEST_F(SimBusTest, BroadcastWritesEveryMeterAndAnswersNone) {
  EXPECT_TRUE(Answer(WriteRequest(0, 128, 30078)).empty());
  EXPECT_EQ(events, (std::vector<std::string>{"write 3 128 30078", "write 7 128 30078"}));
  EXPECT_EQ(bus.Find(3)->Get(258, kT0), 0);
  EXPECT_EQ(bus.Find(7)->Get(258, kT0), 0);
}

TEST_F(SimBusTest, EachFaultGivesItsResultCode) {
  const struct {
    const char* faultText;
    ModbusResult result;
  } reads[] = {
      {"silent", ResultTimeout},      {"oversize", ResultTooLarge},   {"cut", ResultBadLength},
      {"exception", ResultException}, {"badcrc", ResultCrc},          {"wrongaddr", ResultWrongAddress},
      {"wrongfunc", ResultWrongFunction}, {"badcount", ResultBadByteCount},
  };
  for (const auto& c : reads) {
    Fault(c.faultText);
    EXPECT_EQ(ReadResult(Answer(ReadRequest(3, 258, 48))), c.result) << c.faultText;
  }
  Fault("echo");
  const Bytes echo = Answer(WriteRequest(3, 157, 4));
  EXPECT_EQ(CheckWriteResponse(echo.data(), static_cast<int>(echo.size()), 3, 157, 4), ResultWriteMismatch);
  EXPECT_EQ(bus.Find(3)->Get(157, kT0), 4);  // the write itself was applied
  Fault("badcount");
  const Bytes id = Answer(IdRequest(3));
  int slaveId;
  char text[100];
  EXPECT_EQ(CheckReportSlaveIdResponse(id.data(), static_cast<int>(id.size()), 3, &slaveId, text, sizeof text),
            ResultBadByteCount);
  Fault("oversize");
  EXPECT_GT(Answer(IdRequest(3)).size(), 100u);  // more than the master's 100-byte buffer
  EXPECT_GT(Answer(WriteRequest(3, 157, 1)).size(), 12u);
}

TEST_F(SimBusTest, SilentAndExceptionFaultsApplyNoWrite) {
  Fault("silent");
  EXPECT_TRUE(Answer(WriteRequest(3, 157, 5)).empty());
  Fault("exception:6");
  EXPECT_EQ(Answer(WriteRequest(3, 157, 5)), WithCrc({3, 0x86, 6}));
  EXPECT_EQ(bus.Find(3)->Get(157, kT0), 0);
  EXPECT_TRUE(events.empty());
}

TEST_F(SimBusTest, FaultsCountDownAndCanTargetOneRegister) {
  Fault("silent", 2);
  EXPECT_TRUE(Answer(IdRequest(3)).empty());
  EXPECT_TRUE(Answer(IdRequest(3)).empty());
  EXPECT_FALSE(Answer(IdRequest(3)).empty());
  Fault("exception", 1, 8124);  // the second section of a 130-entry download
  EXPECT_EQ(ReadResult(Answer(ReadRequest(3, 7999, 125)), 125), ResultOk);
  EXPECT_EQ(ReadResult(Answer(ReadRequest(3, 8124, 5)), 5), ResultException);
  EXPECT_EQ(ReadResult(Answer(ReadRequest(3, 8124, 5)), 5), ResultOk);
  Fault("silent", 0, 158);
  EXPECT_FALSE(Answer(WriteRequest(3, 157, 0)).empty());
  EXPECT_TRUE(Answer(WriteRequest(3, 158, 1)).empty());
}

// A late answer goes out only after the next request, ahead of its answer;
// the journal has one line per request with what was served before a fault.
TEST_F(SimBusTest, LateAnswerWaitsForTheNextRequestAndTheJournalSaysWhatWasServed) {
  const std::string journal = ::testing::TempDir() + "sim-journal";
  ASSERT_TRUE(bus.OpenJournal(journal));
  ASSERT_EQ(bus.Find(3)->Set(149, 900, kT0), true);
  Fault("late", 1);
  EXPECT_TRUE(Answer(ReadRequest(3, 149, 1)).empty());
  const Bytes late = ReadAnswer(3, std::vector<uint16_t>{900}.data(), 1);
  EXPECT_EQ(Answer(WriteRequest(3, 128, 30078)), Concat({late, WriteEcho(3, 128, 30078)}));
  Fault("badcrc", 1);
  Answer(ReadRequest(3, 149, 2));
  Answer(IdRequest(9));
  EXPECT_EQ(ReadWholeText(journal), "1 3 3 149 1 late values 900\n"
                                    "2 3 6 128 30078 none echo 128 30078\n"
                                    "3 3 3 149 2 badcrc values 900 " + std::to_string(bus.Find(3)->Get(150, kT0).value()) +
                                        "\n"
                                    "4 9 17 0 0 none nothing\n");
}

TEST(SimRandomFaults, SpreadsOrNamesChancesAndRepeatsWithItsSeed) {
  const struct {
    const char* text;
    const char* error;  // "" when it parses
  } cases[] = {
      {"0.08", ""},
      {"badcrc=0.5,late=0.5", ""},
      {"off", ""},
      {"1.5", "bad random fault '1.5'"},
      {"badcrc=0.6,cut=0.6", "random fault chances add up to more than 1"},
      {"exception=0.1", "bad random fault 'exception=0.1'"},
      {"badcrc", "bad random fault 'badcrc'"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_EQ(RandomFaults::Parse(c.text, 1, &error).has_value(), *c.error == '\0') << c.text;
    EXPECT_EQ(error.substr(0, std::strlen(c.error)), c.error) << c.text;
  }
  std::string error;
  RandomFaults all = *RandomFaults::Parse("1", 7, &error), again = all, halves = *RandomFaults::Parse("cut=0.5,delay=0.5", 7, &error);
  int kinds[kRandomFaultKindCount] = {};
  for (int i = 0; i < 800; ++i) {
    const Fault fault = all.Draw();
    EXPECT_EQ(fault.kind, again.Draw().kind);
    for (int k = 0; k < kRandomFaultKindCount; ++k) kinds[k] += fault.kind == kRandomFaultKinds[k];
    const Fault half = halves.Draw();
    EXPECT_TRUE(half.kind == FaultKind::Cut || (half.kind == FaultKind::Delay && half.arg == kRandomDelayMs));
  }
  for (int count : kinds) EXPECT_GT(count, 60);  // about 100 of each kind
  EXPECT_EQ(RandomFaults::Parse("off", 7, &error)->Draw().kind, FaultKind::None);
}

TEST(SimShape, PauseSplitsAndDelayWaits) {
  const Bytes answer = WithCrc({3, 3, 2, 0, 1});
  Fault pause;
  pause.kind = FaultKind::Pause;
  pause.arg = 250;
  const AnswerPlan split = ShapeAnswer(pause, answer, 0.005);
  ASSERT_EQ(split.size(), 2u);
  EXPECT_DOUBLE_EQ(split[0].delay, 0.005);
  EXPECT_DOUBLE_EQ(split[1].delay, 0.25);
  Bytes joined = split[0].bytes;
  joined.insert(joined.end(), split[1].bytes.begin(), split[1].bytes.end());
  EXPECT_EQ(joined, answer);
  Fault delay;
  delay.kind = FaultKind::Delay;
  delay.arg = 800;
  const AnswerPlan late = ShapeAnswer(delay, answer, 0.005);
  ASSERT_EQ(late.size(), 1u);
  EXPECT_DOUBLE_EQ(late[0].delay, 0.805);
  EXPECT_EQ(late[0].bytes, answer);
}

TEST(SimLineOutput, PacesBytesAtTheCharacterTime) {
  LineOutput out;
  out.SetBaud(9600);  // 10 bits: 1.0417 ms a character
  out.Schedule({{0.005, Bytes(10, 0xAA)}}, kT0);
  EXPECT_TRUE(out.TakeDue(kT0 + 0.004).empty());
  EXPECT_EQ(out.TakeDue(kT0 + 0.005).size(), 1u);
  EXPECT_EQ(out.TakeDue(kT0 + 0.0075).size(), 2u);  // bytes 2 and 3 started by 7.5 ms
  EXPECT_NEAR(out.NextDue(), kT0 + 0.005 + 3 * 10.0 / 9600, 1e-9);
  EXPECT_EQ(out.TakeDue(kT0 + 1).size(), 7u);
  EXPECT_TRUE(std::isinf(out.NextDue()));
  // A second answer waits for the line to be free.
  out.Schedule({{0.0, Bytes(4, 1)}}, kT0 + 2);
  out.Schedule({{0.0, Bytes(4, 2)}}, kT0 + 2);
  EXPECT_EQ(out.TakeDue(kT0 + 2 + 3.9 * 10.0 / 9600), Bytes(4, 1));
  EXPECT_NEAR(out.NextDue(), kT0 + 2 + 4 * 10.0 / 9600, 1e-9);
}

TEST(SimLineOutput, UnpacedSendsWholeChunks) {
  LineOutput out;
  out.Schedule({{0.0, Bytes(5, 1)}, {0.3, Bytes(3, 2)}}, kT0);
  EXPECT_EQ(out.TakeDue(kT0), Bytes(5, 1));
  EXPECT_TRUE(out.TakeDue(kT0 + 0.29).empty());
  EXPECT_EQ(out.TakeDue(kT0 + 0.3), Bytes(3, 2));
}

SimOptions Parse(std::vector<const char*> args, std::string* error) {
  args.insert(args.begin(), "qm4sim");
  SimOptions o;
  *error = ParseOptions(static_cast<int>(args.size()), args.data(), &o);
  return o;
}

TEST(SimOptionsTest, ParsesTheCommandLine) {
  std::string error;
  SimOptions o = Parse({"--link", "/tmp/x", "--meter", "1:QM4A", "--meter=12:QM4C", "--baud", "9600",
                        "--prefill", "100", "--subinterval", "60", "--static", "--log-sequence", "--seed", "7", "--fault",
                        "12:delay:800", "--random-faults", "cut=0.1", "--fault-seed", "9", "--journal", "/tmp/j"},
                       &error);
  EXPECT_EQ(error, "");
  EXPECT_EQ(o.randomFaults, "cut=0.1");
  EXPECT_EQ(o.faultSeed, 9u);
  EXPECT_EQ(o.journal, "/tmp/j");
  EXPECT_EQ(o.link, "/tmp/x");
  ASSERT_EQ(o.meters.size(), 2u);
  EXPECT_EQ(o.meters[1].address, 12);
  EXPECT_EQ(o.meters[1].model, Model::QM4C);
  EXPECT_EQ(o.meters[1].subInterval, 60);
  EXPECT_TRUE(o.meters[0].staticValues);
  EXPECT_TRUE(o.meters[1].sequenceLog);
  EXPECT_EQ(o.meters[0].seed, 7u);
  EXPECT_EQ(o.baud, 9600);
  EXPECT_EQ(o.prefill, 100);
  ASSERT_EQ(o.faults.size(), 1u);
  EXPECT_EQ(o.faults[0].fault.kind, FaultKind::Delay);
  EXPECT_EQ(o.faults[0].fault.arg, 800);

  o = Parse({"--link", "/tmp/x"}, &error);
  EXPECT_EQ(error, "");
  ASSERT_EQ(o.meters.size(), 1u);
  EXPECT_EQ(o.meters[0].address, 3);
  EXPECT_EQ(o.meters[0].model, Model::QM4C);
  EXPECT_EQ(o.meters[0].subInterval, 900);
  EXPECT_FALSE(o.meters[0].sequenceLog);
}

TEST(SimOptionsTest, RefusesBadLines) {
  std::string error;
  const std::vector<std::vector<const char*>> bad = {
      {},
      {"--link", "/x", "--meter", "3:QM4D"},
      {"--link", "/x", "--random-faults", "cut=2"},
      {"--link", "/x", "--meter", "0:QM4C"},
      {"--link", "/x", "--meter", "3:QM4C", "--meter", "3:QM4A"},
      {"--link", "/x", "--baud", "fast"},
      {"--link", "/x", "--fault", "3:pause"},
      {"--link", "/x", "--fault", "5:silent"},
      {"--link", "/x", "--fault", "3:sideways"},
      {"--link", "/x", "--verbose"},
      {"--link"},
  };
  for (const auto& args : bad) {
    Parse(args, &error);
    EXPECT_NE(error, "") << (args.empty() ? "(none)" : args.back());
  }
}

TEST(SimControl, RepliesToEachCommand) {
  SimBus bus(nullptr);
  LineOutput line;
  MeterSetup s;
  s.staticValues = true;
  bus.AddMeter(s, kT0);
  auto run = [&](const char* command) { return ExecuteControl(bus, line, nullptr, command, kT0).reply; };
  EXPECT_EQ(run("set 3 162 42"), "ok");
  EXPECT_EQ(run("get 3 162"), "ok 42");
  EXPECT_EQ(run("unset 3 162"), "ok");
  EXPECT_EQ(run("get 3 162"), "ok 0");
  EXPECT_EQ(run("set 3 139 -1"), "ok");
  EXPECT_EQ(run("get 3 139"), "ok 65535");
  EXPECT_EQ(run("set 3 0x80 0x757E"), "ok");  // the energy reset, hex
  EXPECT_EQ(run("get 3 258"), "ok 0");
  EXPECT_EQ(run("setfloat 3 260 -2.5"), "ok");
  EXPECT_EQ(run("get 3 260"), "ok 49184");  // 0xC020
  EXPECT_EQ(run("get 3 261"), "ok 0");
  EXPECT_EQ(run("clock 3 2009 6 15 14 3 7"), "ok");
  EXPECT_EQ(run("get 3 154"), "ok " + std::to_string(15 * 256 + 6));
  EXPECT_EQ(run("prefill 3 130"), "ok");
  EXPECT_EQ(run("get 3 162"), "ok 130");
  EXPECT_EQ(run("capture 3 2"), "ok");
  EXPECT_EQ(run("get 3 162"), "ok 132");
  EXPECT_EQ(run("elapse 3 3"), "ok");
  EXPECT_EQ(run("get 3 162"), "ok 135");
  EXPECT_EQ(run("fault 3 pause 300 2"), "ok");
  EXPECT_EQ(run("fault 3 silent 1 at 258"), "ok");
  EXPECT_EQ(run("fault 3 none"), "ok");
  EXPECT_EQ(run("static 3 off"), "ok");
  EXPECT_EQ(run("baud 9600"), "ok");
  EXPECT_EQ(line.Baud(), 9600);
  EXPECT_EQ(run("turnaround 5"), "ok");
  EXPECT_TRUE(ExecuteControl(bus, line, nullptr, "quit", kT0).quit);
}

TEST(SimControl, ExplainsWhatItRefuses) {
  SimBus bus(nullptr);
  LineOutput line;
  bus.AddMeter(MeterSetup{}, kT0);
  MeterSetup a;
  a.address = 7;
  a.model = Model::QM4A;
  bus.AddMeter(a, kT0);
  auto run = [&](const char* command) { return ExecuteControl(bus, line, nullptr, command, kT0).reply; };
  EXPECT_EQ(run("get 4 1"), "err no meter at address 4");
  EXPECT_EQ(run("get 3 500"), "err meter 3 has no register 500");
  EXPECT_EQ(run("get 7 149"), "err meter 7 has no register 149");
  EXPECT_EQ(run("prefill 7 10"), "err meter 7 has no log");
  EXPECT_EQ(run("elapse 7"), "err meter 7 has no log");
  EXPECT_EQ(run("elapse 3 0"), "err usage: elapse ADDR [N]");
  EXPECT_EQ(run("set 3 1"), "err usage: set ADDR REGADDR VALUE");
  EXPECT_EQ(run("set 3 162 70000"), "err usage: set ADDR REGADDR VALUE");
  EXPECT_EQ(run("set 3 154 13"), "err value out of range");  // month 13
  EXPECT_EQ(run("fault 3 pause"), "err pause needs a number of milliseconds");
  EXPECT_EQ(run("fault 3 wobble"), "err unknown fault kind 'wobble'");
  EXPECT_EQ(run("static 3 maybe"), "err usage: static ADDR on|off");
  EXPECT_EQ(run("clock 3 2009 13 1 0 0 0"), "err clock field '13' out of range");
  EXPECT_EQ(run("fly"), "err unknown command 'fly'");
  EXPECT_EQ(run(""), "err empty command");
}

}  // namespace
