// What a real RS-485 line asks of the master beyond the frames: the silence
// between frames that slaves find frames by, and the echo of adapters that
// hand back what is sent. qm4sim paced at the line's rate is as strict as a
// real slave about the silence and plays an echoing adapter with --echo.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "modbus/link.h"
#include "tests/support/sim_process.h"

namespace {

constexpr int kSlave = 3;

std::vector<std::string> Tails(SimProcess& sim) {
  std::vector<std::string> tails;
  for (const std::string& event : sim.TakeEvents(0, 50))
    if (event.rfind("tail ", 0) == 0) tails.push_back(event);
  return tails;
}

TEST(RealWire, EveryRequestWaitsForTheFrameSilenceAtEachRateAndFraming) {
  const struct {
    int baud;
    long silenceUs;
  } rates[] = {{1200, 32084}, {9600, 4011}, {19200, 2006}, {38400, 1750}};
  for (const auto& r : rates) EXPECT_EQ(FrameSilence(r.baud).count(), r.silenceUs) << r.baud;

  // Back to back as the monitor and a download run them: reads, a write and
  // an identification, each right behind the answer before it.
  for (const int baud : {38400, 9600}) {
    for (const Framing framing : {Framing::Silence, Framing::Length}) {
      SimProcess sim({"--static", "--baud", std::to_string(baud)});
      ModbusLink link(LinkSettings{framing, {}, {}});
      ASSERT_TRUE(link.Open(sim.LinkPath(), baud)) << link.OpenFailureText();
      int values[4] = {};
      int id = 0;
      char text[kSlaveIdTextSize] = {};
      for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(link.ReadHoldingRegisters(kSlave, 258, 4, values), ResultOk) << baud << " " << FramingName(framing);
        EXPECT_EQ(link.WriteSingleRegister(kSlave, 149, 900), ResultOk) << baud << " " << FramingName(framing);
        EXPECT_EQ(link.ReportSlaveId(kSlave, &id, text), ResultOk) << baud << " " << FramingName(framing);
      }
      EXPECT_EQ(Tails(sim), std::vector<std::string>{}) << baud << " " << FramingName(framing);
    }
  }
}

// With --echo each request's echo is read and checked before the answer;
// without it, a line that echoes never passes our own request off as an
// answer. Either way a fault of the line says so, apart from the meter's.
TEST(RealWire, EchoIsReadBackAndCheckedAndALineThatEchoesUnaskedIsNamed) {
  const struct {
    bool lineEchoes;
    bool echoOption;
    int slave;
    ModbusResult result;
    const char* lineFault;  // the start of LineFault(); "" none
  } cases[] = {
      {true, true, kSlave, ResultOk, ""},
      {false, true, kSlave, ResultTimeout, "echo differs"},  // the answer is not the request's echo
      {true, true, 5, ResultTimeout, ""},                    // no meter at 5: the echo alone
      {false, true, 5, ResultTimeout, "echo missing: 0 of 8"},
      {true, false, kSlave, ResultTimeout, "the line hands back what is sent"},
  };
  for (const Framing framing : {Framing::Silence, Framing::Length}) {
    for (const auto& c : cases) {
      std::vector<std::string> args{"--static", "--baud", "38400", "--meter", "3:QM4C"};
      if (c.lineEchoes) args.push_back("--echo");
      SimProcess sim(args);
      ModbusLink link(LinkSettings{framing, LineSettings{c.echoOption}, {}});
      ASSERT_TRUE(link.Open(sim.LinkPath(), 38400)) << link.OpenFailureText();
      int values[2] = {-1, -1};
      const ModbusResult result = link.ReadHoldingRegisters(c.slave, 258, 2, values);
      const std::string where = std::string(FramingName(framing)) + " echoes " + std::to_string(c.lineEchoes) +
                                " --echo " + std::to_string(c.echoOption) + " slave " + std::to_string(c.slave);
      EXPECT_EQ(result, c.result) << where;
      if (result != ResultOk) {
        EXPECT_EQ(values[0], -1) << where;
      }
      EXPECT_EQ(link.LineFault().rfind(c.lineFault, 0), 0u) << where << ": " << link.LineFault();
      // A write, whose right answer is its request, reads right over an
      // echoing line with --echo.
      if (c.lineEchoes && c.echoOption && c.slave == kSlave) {
        EXPECT_EQ(link.WriteSingleRegister(kSlave, 149, 900), ResultOk) << where;
      }
    }
  }
}

}  // namespace
