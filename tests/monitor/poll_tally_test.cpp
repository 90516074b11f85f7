// The monitor's count of each meter's transactions by result, taken from
// what its own polls returned: one round over a bus whose meters misbehave
// in different ways, each meter's tally exact. A tally read off a shared
// counter (the link's or the meter polled before) would mix them.
#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <string>

#include "monitor/bus_monitor.h"
#include "tests/support/sim_process.h"

namespace {

using Tally = std::map<ModbusResult, int>;

class OneRound : public Publisher {
 public:
  explicit OneRound(StopToken& stop) : stop_(stop) {}
  void RoundDone(double, bool) override { stop_.Request(); }

 private:
  StopToken& stop_;
};

// The monitor's tally of the meter at address, results it never had left out.
Tally TallyOf(const BusCounts& counts, int address) {
  Tally tally;
  const BusCounts::ByResult byResult = counts.TransactionsOf("bus_" + std::to_string(address));
  for (int code = 0; code < kResultCount; ++code)
    if (byResult[static_cast<size_t>(code)] > 0)
      tally[static_cast<ModbusResult>(code)] = static_cast<int>(byResult[static_cast<size_t>(code)]);
  return tally;
}

TEST(MonitorTally, EachMeterCountsTheResultsOfItsOwnPoll) {
  const struct {
    int address;
    const char* model;
    const char* fault;  // for its first request touching the register
    Tally expected;
  } meters[] = {
      {3, "QM4C", nullptr, {{ResultOk, 3}}},  // readings, clock block, log status
      // The clock block refused: the poll ends there. The console counts
      // that failure nowhere; the monitor's tally has it.
      {4, "QM4C", "fault 4 exception 1 at 150", {{ResultOk, 1}, {ResultException, 1}}},
      {5, "QM4C", "fault 5 badcrc 1 at 160", {{ResultOk, 2}, {ResultCrc, 1}}},
      {7, "QM4A", nullptr, {{ResultOk, 1}}},
      {8, "QM4B", "fault 8 silent 1 at 258", {{ResultTimeout, 1}}},
      {9, "QM4B", "fault 9 wrongaddr 1 at 258", {{ResultWrongAddress, 1}}},
  };
  std::vector<std::string> bus{"--static"};
  for (const auto& m : meters) bus.insert(bus.end(), {"--meter", std::to_string(m.address) + ":" + m.model});
  SimProcess sim(bus);
  for (const auto& m : meters) {
    if (m.fault != nullptr) {
      ASSERT_EQ(sim.Command(m.fault), "ok") << m.fault;
    }
  }
  ModbusLink link(LinkSettings{Framing::Length, {}, {}});
  MonitorOptions options;
  options.start = 3;
  options.end = 9;
  options.rescanMinutes = 0;
  StopToken stop;
  std::atomic<bool> rescan{false};
  BusMonitor monitor(link, options, sim.LinkPath(), 38400, "bus", stop, rescan);
  OneRound publisher(stop);
  monitor.AddPublisher(&publisher);
  monitor.Run();

  const BusCounts counts = monitor.Tally().Read();
  for (const auto& m : meters) EXPECT_EQ(TallyOf(counts, m.address), m.expected) << "meter " << m.address;
  EXPECT_EQ(counts.transactions.size(), std::size(meters));
}

}  // namespace
