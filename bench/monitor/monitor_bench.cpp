// The monitor's rounds over 32 meters (QM4A, QM4B, QM4C in turn at
// addresses 1 to 32) of qm4sim pacing its answers at 38400 and 9600 baud,
// under each framing, rounds back to back: meters polled per second, next
// to what the line allows. Two limits: what the simulator imposes (the
// answers' bytes at 10 bits a character, its 5 ms turnaround, and under
// silence the 35 ms of quiet after each answer), and a real RS-485 line,
// which also carries the requests' bytes.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/paced_sim.h"
#include "monitor/bus_monitor.h"

namespace {
constexpr int kMeters = 32;
constexpr int kRounds = 5;             // measured, after one that includes the scan
constexpr double kTurnaroundS = 0.005;  // qm4sim's default with --baud

struct Round {
  double seconds;
  LineTally tally;
};

// Ends the monitor after kRounds measured rounds.
class RoundTimer : public Publisher {
 public:
  explicit RoundTimer(StopToken& stop) : stop_(stop) {}
  void RoundDone(double seconds, bool) override {
    if (!first_) rounds.push_back({seconds, g_lineTally});
    first_ = false;
    g_lineTally = {};
    if (static_cast<int>(rounds.size()) == kRounds) stop_.Request();
  }
  std::vector<Round> rounds;

 private:
  StopToken& stop_;
  bool first_ = true;
};

std::vector<std::string> BusArguments(int baud) {
  const char* models[] = {"QM4A", "QM4B", "QM4C"};
  std::vector<std::string> args{"--static", "--baud", std::to_string(baud)};
  for (int address = 1; address <= kMeters; ++address)
    args.insert(args.end(), {"--meter", std::to_string(address) + ":" + models[(address - 1) % 3]});
  return args;
}

bool Measure(int baud, Framing framing) {
  SimLauncher sim;
  std::string error;
  if (!sim.Start(BusArguments(baud), &error, QM4SIM_PATH)) {
    std::fprintf(stderr, "qm4sim: %s\n", error.c_str());
    return false;
  }
  ModbusLink link;
  link.SetSettings(LinkSettings{framing, {}, {}});
  TallyExchangesOf(link);
  MonitorOptions options;
  options.end = kMeters;
  options.interval = 0;  // back to back: every round starts at once
  options.rescanMinutes = 0;
  StopToken stop;
  std::atomic<bool> rescan{false};
  BusMonitor monitor(link, options, sim.LinkPath(), baud, "bench", stop, rescan);
  RoundTimer timer(stop);
  monitor.AddPublisher(&timer);
  monitor.Run();
  if (timer.rounds.size() != kRounds) return false;
  std::sort(timer.rounds.begin(), timer.rounds.end(), [](const Round& a, const Round& b) { return a.seconds < b.seconds; });
  const Round& median = timer.rounds[kRounds / 2];
  const double exchanges = static_cast<double>(median.tally.exchanges);
  const double perExchange = kTurnaroundS + QuietAfterAnswerMs(framing, baud) / 1000.0;
  const double simLimit = median.tally.answerBytes * 10.0 / baud + exchanges * perExchange;
  const double lineLimit = simLimit + median.tally.requestBytes * 10.0 / baud;
  std::printf("%6d %-8s %8.3f %9.1f %9.1f %9.1f %6.3f %9.0f\n", baud, FramingName(framing), median.seconds,
              kMeters / median.seconds, kMeters / simLimit, kMeters / lineLimit, median.seconds / simLimit, exchanges);
  return true;
}
}  // namespace

int main() {
  std::printf("%6s %-8s %8s %9s %9s %9s %6s %9s\n", "baud", "framing", "round s", "meters/s", "sim max", "line max",
              "ratio", "exchanges");
  for (const int baud : {38400, 9600})
    for (const Framing framing : {Framing::Silence, Framing::Length})
      if (!Measure(baud, framing)) return 1;
  return 0;
}
