// Two buses polled at once on two threads through two links, a serial line
// and a Modbus TCP gateway: each link's trace holds only its own exchanges
// and its tally only its own results. Shared state between links would mix
// entries or counts.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "modbus/link.h"
#include "tests/support/sim_process.h"

namespace {

TEST(TwoLinks, PolledAtOnceEachKeepsItsOwnTraceAndTally) {
  constexpr int kTransactions = 40;
  SimProcess lineSim({"--meter", "1:QM4C", "--static"});
  SimProcess gatewaySim({"--mbtcp", "127.0.0.1:0", "--meter", "2:QM4A", "--static"});
  ASSERT_EQ(lineSim.Command("set 1 0 111").substr(0, 2), "ok");
  ModbusLink line, gateway;
  ASSERT_TRUE(line.Open(lineSim.LinkPath(), 38400)) << line.OpenFailureText();
  ASSERT_TRUE(gateway.Open(gatewaySim.PortName(), 38400)) << gateway.OpenFailureText();
  const struct {
    ModbusLink* link;
    int slave, reg;
    ModbusResult expected;
    const char* entry;  // %02X: the transaction id, under Modbus TCP
  } buses[] = {
      {&line, 1, 0, ResultOk, "Send->01 03 00 00 00 01 84 0A\r\nRecv->01 03 02 00 6F F8 68\r\n"},
      // A QM4A has no register 5000: exception 2.
      {&gateway, 2, 5000, ResultException,
       "Send->00 %02X 00 00 00 06 02 03 13 88 00 01\r\nRecv->00 %02X 00 00 00 03 02 83 02\r\n"},
  };
  std::vector<std::thread> pollers;
  for (const auto& bus : buses) {
    pollers.emplace_back([&bus] {
      for (int k = 0; k < kTransactions; ++k) {
        int value = 0;
        bus.link->ReadHoldingRegisters(bus.slave, bus.reg, 1, &value);
      }
    });
  }
  for (std::thread& poller : pollers) poller.join();

  for (const auto& bus : buses) {
    for (int code = 0; code < kResultCount; ++code)
      EXPECT_EQ(bus.link->TransactionsWith(static_cast<ModbusResult>(code)), code == bus.expected ? kTransactions : 0u) << bus.slave << ": " << code;
    for (int k = 0; k < kTraceEntries; ++k) {
      const int id = kTransactions - kTraceEntries + 1 + k;  // the twelve newest, oldest first
      char expected[160];
      std::snprintf(expected, sizeof expected, bus.entry, id, id);
      EXPECT_EQ(std::string(bus.link->Trace().OldestFirst(k)), expected) << bus.slave << ", entry " << k;
    }
  }
}

}  // namespace
