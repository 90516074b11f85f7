// Two masters at a meter's log window: pylaxctl monitor syncing a QM4C's log
// into SQLite (or keeping its clock) while pylaxctl clients download that
// log through the monitor's gateway, all real processes on qm4sim.

#include <ctime>
#include <future>

#include "tests/monitor/monitor_support.h"

namespace {

// pylaxctl run in its own folder (a download writes 03-data.csv where it
// runs), its output in NAME.out and NAME.err here.
std::future<int> RunIn(const std::string& folder, const std::vector<std::string>& args, const std::string& name) {
  std::filesystem::create_directory(folder);
  std::vector<std::string> all{"-c", "cd " + folder + " && exec \"$0\" \"$@\"", PYLAXCTL_PATH};
  all.insert(all.end(), args.begin(), args.end());
  return std::async(std::launch::async, [all, name] { return RunToEnd("/bin/sh", all, name, 240); });
}

// The meter's clock an hour ahead of this computer's, as "clock 3 ..." sets it.
std::string ClockAnHourAhead() {
  const time_t ahead = std::time(nullptr) + 3600;
  struct tm local {};
  localtime_r(&ahead, &local);
  char text[64];
  std::strftime(text, sizeof text, "clock 3 %Y %m %d %H %M %S", &local);
  return text;
}

}  // namespace

// Each client's file, and the archive's export, are what a download made
// alone writes; a clock the monitor wants to set is set only once the
// client's download has ended.
TEST(TwoMasters, EachMasterReadsTheLogWholeWhileAnotherReadsIt) {
  TempCurrentDirectory cwd;
  setenv("PYLAX_RUNTIME_DIR", cwd.Path().c_str(), 1);
  SimProcess sim({"--static", "--prefill", "1500", "--subinterval", "60", "--baud", "38400", "--meter", "3:QM4C"});
  ASSERT_EQ(RunIn("alone", {"--port", sim.LinkPath(), "--slave", "3", "log", "download"}, "alone").get(), 0);
  const std::string alone = ReadWholeFile("alone/03-data.csv");
  ASSERT_EQ(SplitLines(alone).size(), 1501u);

  const struct {
    const char* name;
    std::vector<std::string> monitor;
    int clients;
    bool clockOff;  // the meter's clock is put off once the first slot is selected
  } cases[] = {
      {"sync", {"--archive", "sqlite:archive.sqlite"}, 2, false},  // two clients and the monitor's sync at once
      {"clock", {"--keep-clock", "5"}, 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int gatewayPort = FreePort(), metricsPort = FreePort();
    std::vector<std::string> args{"--port", sim.LinkPath(), "monitor", "--interval", "0.5", "--end", "3",
                                  "--gateway", "127.0.0.1:" + std::to_string(gatewayPort), "--gateway-writes",
                                  "--prometheus", "127.0.0.1:" + std::to_string(metricsPort)};
    args.insert(args.end(), c.monitor.begin(), c.monitor.end());
    const std::string monitorName = std::string("monitor-") + c.name;
    Child monitor(PYLAXCTL_PATH, args, monitorName);
    // The clients begin while the monitor scans: theirs is the first selection.
    ASSERT_TRUE(WaitUntil([&] { return Lines(monitorName + ".err", "gateway: the bus is served") == 1; }))
        << ReadWholeFile(monitorName + ".err");
    sim.TakeEvents(0, 0);
    std::vector<std::future<int>> clients;
    const auto client = [&](int k) { return c.name + std::to_string(k); };
    for (int k = 0; k < c.clients; ++k)
      clients.push_back(RunIn(client(k), {"--port", "mbtcp://127.0.0.1:" + std::to_string(gatewayPort), "--slave", "3",
                                          "log", "download"}, client(k)));
    std::vector<std::string> events;
    const auto gather = [&] {
      const std::vector<std::string> more = sim.TakeEvents(0, 100);
      events.insert(events.end(), more.begin(), more.end());
    };
    if (c.clockOff) {
      ASSERT_TRUE(WaitUntil([&] {
        gather();
        return std::find(events.begin(), events.end(), "write 3 157 1") != events.end();
      }, 60));
      ASSERT_EQ(sim.Command(ClockAnHourAhead()), "ok");
    }
    for (int k = 0; k < c.clients; ++k) {
      EXPECT_EQ(clients[k].get(), 0) << ReadWholeFile(client(k) + ".err");
      EXPECT_TRUE(ReadWholeFile(client(k) + "/03-data.csv") == alone) << client(k) << "'s file is not the download alone";
    }
    if (!c.clockOff) {
      EXPECT_TRUE(WaitUntil([&] { return Scrape(metricsPort)["pylax_gateway_requests_total{result=\"busy\"}"] > 0; }))
          << "the masters never met";
      ASSERT_TRUE(WaitUntil([&] { return Lines(monitorName + ".err", ": 1500 new entries") == 1; }, 60))
          << ReadWholeFile(monitorName + ".err");
      ASSERT_EQ(RunToEnd(PYLAXCTL_PATH, {"archive", "export", "--archive", "sqlite:archive.sqlite", "--output",
                                         "export.csv"}, "export"), 0) << ReadWholeFile("export.err");
      EXPECT_TRUE(ReadWholeFile("export.csv") == alone) << "the archive's export is not the download made alone";
    } else {
      ASSERT_TRUE(WaitUntil([&] {
        gather();
        return Lines(monitorName + ".err", "set from this computer's clock") == 1;
      }, 60)) << ReadWholeFile(monitorName + ".err");
      gather();
      const auto clockWrite =
          std::find_if(events.begin(), events.end(), [](const std::string& e) { return e.rfind("write 3 154 ", 0) == 0; });
      const auto lastRelease = std::find(events.rbegin(), events.rend(), "write 3 157 0");
      EXPECT_TRUE(clockWrite != events.end() && lastRelease != events.rend() && clockWrite >= lastRelease.base())
          << "the clock was set under the download";
    }
    EXPECT_EQ(monitor.End(SIGTERM), 0);
  }
}
