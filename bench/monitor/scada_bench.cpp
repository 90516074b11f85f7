// The monitor's gateway as a SCADA meets it: qm4sim pacing 2 meters (QM4C
// at 3, QM4B at 9) at 38400 baud, `length` framing (a read's line time is
// then its bytes' time, so the share below is what the wire carried), the
// monitor polling them every second
// (addresses 1 to 9, so a rescan asks 7 empty ones), and 4 clients that
// each read the reading block (258, 48 registers) of both meters every
// 500 ms with a 1 s timeout, as a SCADA polls. 30 s a run, a rescan
// (SIGHUP) at 10 s; once with --gateway-cache 1 and once with 0. Printed:
// the clients' share of the line (the reads relayed times one read's line
// time, over the run), their latency (median, 99th percentile, most), the
// requests that failed (timeout or exception), and the monitor's round time.
// Then the stop under load: 8 clients (4 places per address: from
// 127.0.0.1 and 127.0.0.2) each with 4 reads of an absent meter waiting,
// SIGTERM, and the time until the monitor has exited (5 tries).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
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
constexpr int kClients = 4;
constexpr auto kClientPeriod = std::chrono::milliseconds(500);
constexpr auto kRun = std::chrono::seconds(30);
constexpr auto kRescanAt = std::chrono::seconds(10);
constexpr int kTimeoutMs = 1000;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string Scrape(int port) {
  const auto response = httplib::Client("127.0.0.1", port).Get("/metrics");
  return response ? response->body : "";
}

double Metric(const std::string& body, const std::string& name) {
  const size_t at = body.find("\n" + name + " ");
  return at == std::string::npos ? -1 : std::stod(body.substr(at + name.size() + 2));
}

double MedianDirectReadMs(const std::string& port) {
  ModbusLink link(LinkSettings{Framing::Length, {}, {}});
  if (!link.Open(port, kBaud)) return -1;
  std::vector<double> ms;
  int values[48];
  for (int k = 0; k < 21; ++k) {
    const auto start = Clock::now();
    if (link.ReadHoldingRegisters(3, 258, 48, values) != ResultOk) return -1;
    ms.push_back(SecondsSince(start) * 1000);
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

struct Tally {
  std::mutex lock;
  std::vector<double> ms;
  int failed = 0;
};

// One read with a deadline, as a SCADA's driver does it: true with the
// answer's bytes whole and no exception.
bool ReadOnce(int fd, uint16_t id, uint8_t unit) {
  const uint8_t request[12] = {uint8_t(id >> 8), uint8_t(id), 0, 0, 0, 6, unit, 3, 1, 2, 0, 48};
  if (send(fd, request, sizeof request, MSG_NOSIGNAL) != sizeof request) return false;
  uint8_t answer[9 + 96];
  size_t got = 0;
  const auto until = Clock::now() + std::chrono::milliseconds(kTimeoutMs);
  while (got < sizeof answer) {
    const int left =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count());
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) <= 0) return false;
    const ssize_t n = recv(fd, answer + got, sizeof answer - got, 0);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
    if (got >= 8 && (answer[7] & 0x80)) return false;
  }
  return answer[0] == uint8_t(id >> 8) && answer[1] == uint8_t(id) && answer[8] == 96;
}

int Connect(int port, const char* from = "127.0.0.1") {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in source{};
  source.sin_family = AF_INET;
  inet_pton(AF_INET, from, &source.sin_addr);
  bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? fd : -1;
}

// A client: every 500 ms one read of each meter; a failed read reconnects,
// as a driver does after a timeout (the late answer would be taken for the
// next one's).
void Client(int port, Clock::time_point end, Tally& tally, int number) {
  int fd = Connect(port);
  uint16_t id = static_cast<uint16_t>(number * 10000);
  for (auto next = Clock::now(); next < end; next += kClientPeriod) {
    std::this_thread::sleep_until(next);
    for (const uint8_t unit : {3, 9}) {
      const auto start = Clock::now();
      const bool ok = fd >= 0 && ReadOnce(fd, ++id, unit);
      const double ms = SecondsSince(start) * 1000;
      std::lock_guard<std::mutex> hold(tally.lock);
      tally.ms.push_back(ms);
      if (ok) continue;
      ++tally.failed;
      if (fd >= 0) close(fd);
      fd = Connect(port);
    }
  }
  if (fd >= 0) close(fd);
}

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(fraction * static_cast<double>(values.size())))];
}

void Run(const std::string& port, const std::string& cache, double readMs) {
  const int gateway = 15512, metrics = 15513;
  const pid_t monitor = SpawnQuiet({PYLAXCTL_PATH, "--port", port, "--framing", "length", "monitor", "--end", "9",
                               "--interval", "1", "--gateway", std::to_string(gateway), "--gateway-cache", cache,
                               "--prometheus", "127.0.0.1:" + std::to_string(metrics)});
  for (int k = 0; k < 300 && Metric(Scrape(metrics), "pylax_poll_rounds_total") < 1; ++k)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const std::string before = Scrape(metrics);
  Tally tally;
  const auto start = Clock::now();
  std::vector<std::thread> clients;
  for (int k = 0; k < kClients; ++k)
    clients.emplace_back([&, k] { Client(gateway, start + kRun, tally, k + 1); });
  std::vector<double> rounds;
  double lastRounds = Metric(before, "pylax_poll_rounds_total");
  bool rescanned = false;
  while (Clock::now() < start + kRun) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    if (!rescanned && Clock::now() >= start + kRescanAt) {
      kill(monitor, SIGHUP);
      rescanned = true;
    }
    const std::string now = Scrape(metrics);
    if (const double count = Metric(now, "pylax_poll_rounds_total"); count > lastRounds) {
      rounds.push_back(Metric(now, "pylax_poll_round_duration_seconds"));
      lastRounds = count;
    }
  }
  for (std::thread& client : clients) client.join();
  const double seconds = SecondsSince(start);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the gateway's counts join the bus's each round
  const std::string after = Scrape(metrics);
  kill(monitor, SIGTERM);
  waitpid(monitor, nullptr, 0);
  const auto delta = [&](const std::string& name) { return Metric(after, name) - std::max(0.0, Metric(before, name)); };
  const double hits = delta("pylax_gateway_cache_total{result=\"hit\"}");
  const double misses = delta("pylax_gateway_cache_total{result=\"miss\"}");
  std::printf("--gateway-cache %s: %zu reads, %d failed; from the last round %.0f, on the line %.0f; clients' share "
              "of the line %.1f %%; latency median %.2f ms, p99 %.1f ms, most %.1f ms; monitor's round median %.3f s, "
              "most %.3f s (%zu rounds, a rescan among them)\n",
              cache.c_str(), tally.ms.size(), tally.failed, hits, misses, 100 * misses * readMs / 1000 / seconds,
              Percentile(tally.ms, 0.5), Percentile(tally.ms, 0.99), Percentile(tally.ms, 1.0),
              Percentile(rounds, 0.5), Percentile(rounds, 1.0), rounds.size());
}

// Seconds from SIGTERM to the monitor's exit while its gateway's clients
// keep the line busy with a meter that does not answer (each read 0.6 s).
// settle: how long the reads have waited by then (tries vary it, so that
// the signal comes at another point of a read).
double StopSeconds(const std::string& port, std::chrono::milliseconds settle) {
  const int gateway = 15522, metrics = 15523;
  const pid_t monitor = SpawnQuiet({PYLAXCTL_PATH, "--port", port, "--framing", "length", "monitor", "--end", "9",
                               "--interval", "1", "--gateway", std::to_string(gateway), "--prometheus",
                               "127.0.0.1:" + std::to_string(metrics)});
  for (int k = 0; k < 300 && Metric(Scrape(metrics), "pylax_poll_rounds_total") < 1; ++k)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::vector<int> fds;
  uint16_t id = 0;
  for (const char* from : {"127.0.0.1", "127.0.0.2"})
    for (int k = 0; k < 4; ++k) {
      fds.push_back(Connect(gateway, from));
      for (int request = 0; request < 4; ++request) {
        const uint8_t read[12] = {0, uint8_t(++id), 0, 0, 0, 6, 5, 3, 1, 2, 0, 2};
        send(fds.back(), read, sizeof read, MSG_NOSIGNAL);
      }
    }
  std::this_thread::sleep_for(settle);
  const auto start = Clock::now();
  kill(monitor, SIGTERM);
  waitpid(monitor, nullptr, 0);
  const double seconds = SecondsSince(start);
  for (const int fd : fds) close(fd);
  return seconds;
}

}  // namespace

int main() {
  SimLauncher sim;
  std::string error;
  if (!sim.Start({"--static", "--baud", std::to_string(kBaud), "--meter", "3:QM4C", "--meter", "9:QM4B"}, &error,
                 QM4SIM_PATH)) {
    std::fprintf(stderr, "qm4sim: %s\n", error.c_str());
    return 1;
  }
  const double readMs = MedianDirectReadMs(sim.LinkPath());
  std::printf("a read of 48 registers on the line alone: %.2f ms (median of 21)\n", readMs);
  for (const char* cache : {"1", "0"}) Run(sim.LinkPath(), cache, readMs);
  std::vector<double> stops;
  for (int k = 0; k < 5; ++k) stops.push_back(StopSeconds(sim.LinkPath(), std::chrono::milliseconds(1000 + 130 * k)));
  std::printf("SIGTERM with 8 clients reading an absent meter: the monitor ended after %.3f s at most, %.3f s "
              "median (5 tries)\n", Percentile(stops, 1.0), Percentile(stops, 0.5));
  return 0;
}
