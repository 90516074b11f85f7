// One poll tick of a QM4C (the reading block, the logging block and the clock
// block, as the console polls each second) against qm4sim pacing its bytes at
// 38400 baud, under each framing, next to the line's own time for the same
// exchanges: the answers' bytes at 10 bits a character, the simulator's 5 ms
// turnaround and, under silence, the 35 ms of quiet after each answer. Three
// reads of 48, 8 and 9 registers answer 101 + 21 + 23 bytes: 37.8 ms of
// bytes, 15 ms turnaround, 105 ms quiet.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bus/poll.h"
#include "bench/paced_sim.h"

namespace {
constexpr int kBaud = 38400;
constexpr int kRepetitions = 25;
constexpr double kTurnaroundMs = 5.0;  // qm4sim's default with --baud

}  // namespace

int main() {
  SimLauncher sim;
  ModbusLink link;
  if (!StartAndOpenSim(sim, link, {"--meter", "3:QM4C", "--static", "--baud", std::to_string(kBaud)}, kBaud, QM4SIM_PATH))
    return 1;
  const Meter meter{3, ModelQM4C, "", ""};
  PollState poll;
  TallyExchangesOf(link);
  std::printf("%-8s %9s %9s %7s %10s\n", "framing", "median ms", "line ms", "ratio", "exchanges");
  for (const Framing framing : {Framing::Silence, Framing::Length}) {
    link.SetSettings(LinkSettings{framing, {}, {}});
    std::vector<double> ms;
    g_lineTally = {};
    for (int i = 0; i < kRepetitions; ++i) {
      PollFields fields;
      const auto start = std::chrono::steady_clock::now();
      PollMeter(link, meter, poll, fields);
      ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
      if (fields.lastFailure != ResultOk) {
        std::fprintf(stderr, "poll failed: %s\n", ResultText(fields.lastFailure));
        return 1;
      }
    }
    std::sort(ms.begin(), ms.end());
    const double exchanges = static_cast<double>(g_lineTally.exchanges) / kRepetitions;
    const double quietMs = QuietAfterAnswerMs(framing, kBaud);
    const double line = g_lineTally.answerBytes * 10.0 * 1000.0 / kBaud / kRepetitions + exchanges * (kTurnaroundMs + quietMs);
    std::printf("%-8s %9.1f %9.1f %7.3f %10.1f\n", FramingName(framing), ms[ms.size() / 2], line,
                ms[ms.size() / 2] / line, exchanges);
  }
  return 0;
}
