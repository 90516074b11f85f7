// The monitor's page: its weight as served, the time a headless chromium
// takes to its first paint on loopback, and the poll's rounds over 32 meters
// of qm4sim (38400 baud, length framing, paced) with no event stream open
// and with 50 open at once. A timing program, run by hand
// (pylax_bench_web).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "bench/paced_sim.h"
#include "monitor/bus_monitor.h"
#include "monitor/http_listener.h"
#include "tests/support/chromium.h"
#include "web/web_publisher.h"

namespace {
constexpr int kMeters = 32;
constexpr int kRounds = 7;  // measured, after one that includes the scan
constexpr int kStreams = 50;
constexpr int kPaints = 7;
constexpr int kBaud = 38400;

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Ends the monitor after kRounds measured rounds.
class RoundTimer : public Publisher {
 public:
  explicit RoundTimer(StopToken& stop) : stop_(stop) {}
  void RoundDone(double seconds, bool) override {
    if (!first_) rounds.push_back(seconds);
    first_ = false;
    if (static_cast<int>(rounds.size()) == kRounds) stop_.Request();
  }
  std::vector<double> rounds;

 private:
  StopToken& stop_;
  bool first_ = true;
};

std::vector<std::string> BusArguments() {
  const char* models[] = {"QM4A", "QM4B", "QM4C"};
  std::vector<std::string> args{"--static", "--baud", std::to_string(kBaud)};
  for (int address = 1; address <= kMeters; ++address)
    args.insert(args.end(), {"--meter", std::to_string(address) + ":" + models[(address - 1) % 3]});
  return args;
}

// Event streams read to the end by threads of their own, each counting the
// events it got.
class Streams {
 public:
  Streams(int port, int count) : events_(static_cast<size_t>(count)) {
    for (int i = 0; i < count; ++i)
      threads_.emplace_back([this, port, i] {
        httplib::Client client("127.0.0.1", port);
        client.set_read_timeout(30);
        client.Get("/events", [this, i](const char* data, size_t length) {
          events_[static_cast<size_t>(i)] += std::count(data, data + length, '\n');
          return !done_;
        });
      });
  }
  ~Streams() {
    done_ = true;
    for (std::thread& t : threads_) t.join();
  }
  long Fewest() const { return *std::min_element(events_.begin(), events_.end()); }

 private:
  std::atomic<bool> done_{false};
  std::vector<long> events_;
  std::vector<std::thread> threads_;
};

// The median round with `streams` event streams open.
bool Rounds(int streams, double* median, long* fewestLines) {
  SimLauncher sim;
  std::string error;
  if (!sim.Start(BusArguments(), &error, QM4SIM_PATH)) {
    std::fprintf(stderr, "qm4sim: %s\n", error.c_str());
    return false;
  }
  ModbusLink link;
  link.SetSettings(LinkSettings{Framing::Length, {}, {}});
  MonitorOptions options;
  options.end = kMeters;
  options.interval = 0;
  options.rescanMinutes = 0;
  StopToken stop;
  std::atomic<bool> rescan{false};
  BusMonitor monitor(link, options, sim.LinkPath(), kBaud, "bench", stop, rescan);
  WebPublisher web(WebBus{sim.LinkPath(), kBaud, "length", 0}, false, monitor.Tally());
  HttpListener listener;
  if (!listener.Bind("127.0.0.1:18611", "--http", "the page", &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return false;
  }
  web.Serve(listener, WebAccess{""});
  listener.Start(WebPublisher::kMaxEventStreams + 8);
  RoundTimer timer(stop);
  monitor.AddPublisher(&web);
  monitor.AddPublisher(&timer);
  {
    Streams open(18611, streams);
    monitor.Run();
    *fewestLines = streams > 0 ? open.Fewest() : 0;
    web.Close();
  }
  *median = Median(timer.rounds);
  return static_cast<int>(timer.rounds.size()) == kRounds;
}

void PageWeight(int port) {
  long total = 0, compressed = 0;
  std::printf("%-22s %9s %9s\n", "file", "bytes", "gzip");
  for (const char* path : {"/meter/bench_3", "/static/pylax.js", "/static/pylax.css", "/static/chart.min.js"}) {
    httplib::Client plain("127.0.0.1", port);
    httplib::Client zipped("127.0.0.1", port);
    zipped.set_decompress(false);
    const auto a = plain.Get(path);
    const auto b = zipped.Get(path, {{"Accept-Encoding", "gzip"}});
    if (!a || !b) return;
    std::printf("%-22s %9zu %9zu\n", path, a->body.size(), b->body.size());
    total += static_cast<long>(a->body.size());
    compressed += static_cast<long>(b->body.size());
  }
  std::printf("%-22s %9ld %9ld\n", "the meter page", total, compressed);
}

void FirstPaint(int port) {
  Chromium browser(CHROMIUM_PATH);
  std::vector<double> paints, contentful;
  for (int i = 0; i < kPaints; ++i) {
    const std::string page = browser.OpenPage();
    browser.Call("Page.navigate", {{"url", "http://127.0.0.1:" + std::to_string(port) + "/meter/bench_3"}}, page);
    nlohmann::json times;
    for (int tries = 0; tries < 100 && !times.is_array(); ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      times = browser.Evaluate(page, "performance.getEntriesByType('paint').length >= 2 ? "
                                     "performance.getEntriesByType('paint').map((e) => e.startTime) : null");
    }
    if (!times.is_array()) return;
    paints.push_back(times[0].get<double>());
    contentful.push_back(times[1].get<double>());
  }
  std::printf("first paint %.1f ms, first contentful paint %.1f ms (median of %d, from navigation start)\n",
              Median(paints), Median(contentful), kPaints);
}
}  // namespace

int main() {
  // The page's weight and first paint, against a monitor of the same bus.
  {
    SimLauncher sim;
    std::string error;
    if (!sim.Start(BusArguments(), &error, QM4SIM_PATH)) return 1;
    ModbusLink link;
    link.SetSettings(LinkSettings{Framing::Length, {}, {}});
    MonitorOptions options;
    options.start = 3;
    options.end = 3;
    options.interval = 1;
    options.rescanMinutes = 0;
    StopToken stop;
    std::atomic<bool> rescan{false};
    BusMonitor monitor(link, options, sim.LinkPath(), kBaud, "bench", stop, rescan);
    WebPublisher web(WebBus{sim.LinkPath(), kBaud, "length", 1}, false, monitor.Tally());
    HttpListener listener;
    if (!listener.Bind("127.0.0.1:18612", "--http", "the page", &error)) return 1;
    web.Serve(listener, WebAccess{""});
    listener.Start(WebPublisher::kMaxEventStreams + 8);
    monitor.AddPublisher(&web);
    std::thread poll([&] { monitor.Run(); });
    std::this_thread::sleep_for(std::chrono::seconds(2));
    PageWeight(18612);
    FirstPaint(18612);
    stop.Request();
    poll.join();
    web.Close();
  }
  std::printf("%8s %10s %14s\n", "streams", "round s", "fewest lines");
  for (const int streams : {0, kStreams, 0, kStreams, 0, kStreams}) {
    double median = 0;
    long lines = 0;
    if (!Rounds(streams, &median, &lines)) return 1;
    std::printf("%8d %10.3f %14ld\n", streams, median, lines);
  }
  return 0;
}
