// What the monitor's Modbus TCP gateway costs another master: qm4sim pacing
// a bus of 3 meters (QM4C at 3, QM4A at 7, QM4B at 9) at 38400 baud, the
// length framing throughout.
//  1. One transaction (a read of 48 registers) direct and through the
//     gateway of a monitor that sits between rounds (interval 3600 s):
//     medians of 51, the difference being the gateway's own time.
//  2. A full log download (10 slots x 5760 entries) by pylaxctl, direct,
//     then through the gateway of a monitor polling the bus every 2 s: the
//     download's time against the direct one over the share of the line
//     the rounds leave free (1 - a round's own time / interval, the round
//     measured before the download, when it has the line to itself).
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "modbus/link.h"
#include "bench/monitor/spawn_quiet.h"
#include "sim/sim_launcher.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBaud = 38400;
constexpr int kReads = 51;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

int Wait(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The monitor on port, its gateway at gateway, /metrics at metrics; once its
// scan is done (its first round has been counted).
pid_t StartMonitor(const std::string& port, const std::string& interval, int gateway, int metrics) {
  const pid_t pid = SpawnQuiet({PYLAXCTL_PATH, "--port", port, "monitor", "--end", "9", "--interval", interval,
                           "--gateway", "127.0.0.1:" + std::to_string(gateway), "--gateway-writes", "--prometheus",
                           "127.0.0.1:" + std::to_string(metrics)});
  httplib::Client client("127.0.0.1", metrics);
  for (int k = 0; k < 300; ++k) {
    const auto response = client.Get("/metrics");
    if (response && response->body.find("pylax_poll_rounds_total 0") == std::string::npos &&
        response->body.find("pylax_poll_rounds_total") != std::string::npos)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return pid;
}

double Metric(int port, const std::string& name) {
  const auto response = httplib::Client("127.0.0.1", port).Get("/metrics");
  if (!response) return -1;
  const size_t at = response->body.find("\n" + name + " ");
  return at == std::string::npos ? -1 : std::stod(response->body.substr(at + name.size() + 2));
}

double MedianReadMs(const std::string& port) {
  ModbusLink link(LinkSettings{Framing::Length, {}, {}});
  if (!link.Open(port, kBaud)) return -1;
  std::vector<double> ms;
  int values[48];
  for (int k = 0; k < kReads; ++k) {
    const auto start = Clock::now();
    if (link.ReadHoldingRegisters(3, 258, 48, values) != ResultOk) return -1;
    ms.push_back(SecondsSince(start) * 1000);
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

double DownloadSeconds(const std::string& port) {
  const auto start = Clock::now();
  const int status = Wait(SpawnQuiet({PYLAXCTL_PATH, "--port", port, "--baud", std::to_string(kBaud), "--framing", "length",
                                 "--slave", "3", "log", "download"}));
  return status == 0 ? SecondsSince(start) : -1;
}

}  // namespace

int main() {
  SimLauncher sim;
  std::string error;
  if (!sim.Start({"--static", "--baud", std::to_string(kBaud), "--prefill", "5760", "--meter", "3:QM4C", "--meter",
                  "7:QM4A", "--meter", "9:QM4B"},
                 &error, QM4SIM_PATH)) {
    std::fprintf(stderr, "qm4sim: %s\n", error.c_str());
    return 1;
  }
  const int gateway = 15502, metrics = 15503;
  const std::string through = "mbtcp://127.0.0.1:" + std::to_string(gateway);

  const double directMs = MedianReadMs(sim.LinkPath());
  pid_t monitor = StartMonitor(sim.LinkPath(), "3600", gateway, metrics);
  const double gatewayMs = MedianReadMs(through);
  kill(monitor, SIGTERM);
  Wait(monitor);
  std::printf("read 48, median of %d: direct %.2f ms, through the gateway %.2f ms, added %.2f ms\n", kReads, directMs,
              gatewayMs, gatewayMs - directMs);

  const double direct = DownloadSeconds(sim.LinkPath());
  monitor = StartMonitor(sim.LinkPath(), "2", gateway, metrics);
  const double round = Metric(metrics, "pylax_poll_round_duration_seconds");
  const double shared = DownloadSeconds(through);
  const double sharedRound = Metric(metrics, "pylax_poll_round_duration_seconds");
  const double overruns = Metric(metrics, "pylax_poll_overruns_total");
  const double waits = Metric(metrics, "pylax_gateway_wait_seconds_count");
  const double mean = Metric(metrics, "pylax_gateway_wait_seconds_sum") / waits;
  double longest = -1;  // the least bucket bound that holds every wait
  for (const char* bound : {"0.005", "0.01", "0.025", "0.05", "0.1", "0.25", "0.5", "1", "2.5", "5"})
    if (longest < 0 && Metric(metrics, std::string("pylax_gateway_wait_seconds_bucket{le=\"") + bound + "\"}") == waits)
      longest = std::stod(bound);
  kill(monitor, SIGTERM);
  Wait(monitor);
  const double free = 1 - round / 2;
  std::printf("full download: direct %.2f s; through the gateway while the monitor polls every 2 s %.2f s "
              "(round alone %.3f s, during the download %.3f s; line left free %.3f, expected %.2f s, ratio %.3f; "
              "overruns %.0f; wait for the line at most %.3f s by the histogram, mean %.4f s)\n",
              direct, shared, round, sharedRound, free, direct / free, shared / (direct / free), overruns, longest,
              mean);
  return 0;
}
