// The archive in the monitor: pylaxctl monitor --archive against qm4sim,
// into a real SQLite file and a real influxd that goes away and comes back.

#include <sqlite3.h>

#include "tests/monitor/monitor_support.h"
#include "tests/support/influx_server.h"

namespace {
// count(*) and max(time) of a meter's entries in the SQLite archive, read
// with SQLite itself.
std::pair<long, long> SqliteEntries(const std::string& meter) {
  sqlite3* db = nullptr;
  std::pair<long, long> found{0, 0};
  if (sqlite3_open_v2("archive.sqlite", &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* query = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT count(*), max(e.time) FROM entries e JOIN meters m ON e.meter = m.id WHERE m.meter = ?",
                       -1, &query, nullptr);
    sqlite3_bind_text(query, 1, meter.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(query) == SQLITE_ROW) found = {sqlite3_column_int64(query, 0), sqlite3_column_int64(query, 1)};
    sqlite3_finalize(query);
  }
  sqlite3_close(db);
  return found;
}

std::string Utc(long time) {
  const time_t t = time;
  struct tm utc {};
  gmtime_r(&t, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// The last state object of a meter that --json wrote.
nlohmann::json LastState(const std::string& meter) {
  nlohmann::json last;
  for (const std::string& line : SplitLines(ReadWholeFile("monitor.out")))
    if (line.find("\"meter\":\"" + meter + "\"") != std::string::npos) last = nlohmann::json::parse(line, nullptr, false);
  return last;
}

// A QM4C's entries in InfluxDB: its points of register 3 (kW), which the
// simulator's first log run logs once.
long InfluxEntries(const InfluxServer& influx, const std::string& meter) {
  const nlohmann::json json =
      influx.Query("pylax", "SELECT count(\"value\") FROM pylax_log WHERE meter = '" + meter + "' AND register = '3'");
  const nlohmann::json series = json.value("results", nlohmann::json::array()).at(0).value("series", nlohmann::json());
  if (!series.is_array()) ADD_FAILURE() << json.dump();
  return series.is_array() ? series[0]["values"][0][1].get<long>() : 0;
}
}  // namespace

// Each QM4C synced between rounds into both archives; the QM4A never. An
// InfluxDB that goes away costs its syncs (counted as failures, said) while
// SQLite takes the new entries; back, it catches up from the meter. /metrics
// and the state object say how far each archive holds the log.
TEST(ArchiveMonitor, KeepsEachQm4cLogInEveryArchiveThroughAnOutage) {
  TempCurrentDirectory cwd;
  InfluxServer influx(INFLUXD_PATH);
  ASSERT_TRUE(influx.Start());
  SimProcess sim({"--static", "--subinterval", "60", "--log-sequence", "--prefill", "50", "--meter", "3:QM4C",
                  "--meter", "5:QM4C", "--meter", "7:QM4A"});
  const int port = FreePort();
  const std::string influxUrl = "influx://127.0.0.1:" + std::to_string(influx.Port()) + "/pylax";
  // The archives as a service's config file names them, a line each.
  std::ofstream("monitor.conf") << "archive = \"sqlite:archive.sqlite\"\narchive = " << influxUrl
                                << "\narchive-every = 0.02\n";
  Child monitor(PYLAXCTL_PATH,
                {"--port", sim.LinkPath(), "--config", "monitor.conf", "monitor", "--bus-id", "arc", "--start", "3",
                 "--end", "7", "--interval", "0.3", "--prometheus", std::to_string(port), "--json"},
                "monitor");
  const auto sample = [&](const char* family, const char* meter, const std::string& archive) {
    const std::string model = meter == std::string("arc_7") ? "QM4A" : "QM4C";
    return std::string(family) + "{meter=\"" + meter + "\",model=\"" + model + "\",archive=\"" + archive + "\"}";
  };
  const std::string sqlite = "sqlite:archive.sqlite";
  ASSERT_TRUE(WaitUntil([&] { return httplib::Client("127.0.0.1", port).Get("/metrics"); })) << ReadWholeFile("monitor.err");
  for (const char* meter : {"arc_3", "arc_5"})
    for (const std::string& archive : {sqlite, influxUrl})
      ASSERT_TRUE(WaitUntil([&] { return Scrape(port)[sample("pylax_archive_entries_total", meter, archive)] == 50; }, 60))
          << meter << " " << archive << ReadWholeFile("monitor.err");
  const auto [entries, newest] = SqliteEntries("arc_3");
  EXPECT_EQ(entries, 50);
  std::map<std::string, double> metrics = Scrape(port);
  EXPECT_EQ(metrics[sample("pylax_archive_newest_entry_timestamp_seconds", "arc_3", sqlite)], newest);
  EXPECT_EQ(metrics[sample("pylax_archive_newest_entry_timestamp_seconds", "arc_3", influxUrl)], newest);
  EXPECT_EQ(metrics[sample("pylax_archive_sync_failures_total", "arc_3", influxUrl)], 0);
  EXPECT_EQ(InfluxEntries(influx, "arc_3"), 50);
  EXPECT_TRUE(WaitUntil([&] { return LastState("arc_3").value("archived", "") == Utc(newest); }));

  influx.Stop();
  ASSERT_EQ(sim.Command("elapse 3 5"), "ok");
  EXPECT_TRUE(WaitUntil([&] {
    metrics = Scrape(port);
    return metrics[sample("pylax_archive_entries_total", "arc_3", sqlite)] == 55 &&
           metrics[sample("pylax_archive_sync_failures_total", "arc_3", influxUrl)] >= 1;
  }, 60)) << ReadWholeFile("monitor.err");
  EXPECT_EQ(SqliteEntries("arc_3").first, 55);
  EXPECT_EQ(metrics[sample("pylax_archive_entries_total", "arc_3", influxUrl)], 50);
  EXPECT_EQ(metrics[sample("pylax_archive_newest_entry_timestamp_seconds", "arc_3", sqlite)], newest + 5 * 60);
  EXPECT_GE(Lines("monitor.err", "arc_3 -> " + influxUrl + ": cannot reach InfluxDB at 127.0.0.1:"), 1)
      << ReadWholeFile("monitor.err");
  // Kept up to where both archives hold the log: InfluxDB's newest.
  EXPECT_TRUE(WaitUntil([&] { return Lines("monitor.out", R"("meter":"arc_3")") > 3; }));
  EXPECT_EQ(LastState("arc_3").value("archived", ""), Utc(newest));

  ASSERT_TRUE(influx.Start());
  EXPECT_TRUE(WaitUntil([&] { return Scrape(port)[sample("pylax_archive_entries_total", "arc_3", influxUrl)] == 55; }, 60));
  EXPECT_EQ(InfluxEntries(influx, "arc_3"), 55);
  EXPECT_EQ(InfluxEntries(influx, "arc_5"), 50);
  // Many rounds later, nothing of the QM4A.
  EXPECT_EQ(Scrape(port).count(sample("pylax_archive_sync_failures_total", "arc_7", sqlite)), 0u);
  EXPECT_EQ(LastState("arc_7").count("archived"), 0u);
  EXPECT_EQ(LastState("arc_7").count("KW"), 1u);
  EXPECT_EQ(monitor.End(SIGTERM), 0);
}

// --keep-clock: a QM4C gaining 10 s a minute is set once, three polls after
// it is seen more than 5 s off, its log archived up to the step; the step is
// a run of its own in the archive, no conflict, and no round overran.
TEST(ArchiveMonitor, SetsADriftingClockOnceWithItsLogArchivedFirst) {
  TempCurrentDirectory cwd;
  SimProcess sim({"--static", "--subinterval", "60", "--log-sequence", "--prefill", "50", "--meter", "3:QM4C",
                  "--clock-drift", "3:10"});
  const time_t ahead = std::time(nullptr) + 4;  // past 5 s within seconds
  struct tm local {};
  localtime_r(&ahead, &local);
  char clock[64];
  std::strftime(clock, sizeof clock, "clock 3 %Y %m %d %H %M %S", &local);
  ASSERT_EQ(sim.Command(clock), "ok");
  const int port = FreePort();
  Child monitor(PYLAXCTL_PATH,
                {"--port", sim.LinkPath(), "monitor", "--bus-id", "drift", "--start", "3", "--end", "3", "--interval",
                 "1", "--keep-clock", "5", "--archive", "sqlite:archive.sqlite", "--archive-every", "0.02",
                 "--prometheus", std::to_string(port), "--json"},
                "monitor");
  ASSERT_TRUE(WaitUntil([&] { return LastState("drift_3").contains("clock-set"); }, 60)) << ReadWholeFile("monitor.err");
  ASSERT_EQ(sim.Command("capture 3"), "ok");
  ASSERT_TRUE(WaitUntil([&] { return SqliteEntries("drift_3").first == 51; }, 60)) << ReadWholeFile("monitor.err");
  std::vector<nlohmann::json> states;
  for (const std::string& line : SplitLines(ReadWholeFile("monitor.out"))) states.push_back(nlohmann::json::parse(line));
  const auto off =
      std::find_if(states.begin(), states.end(), [](const auto& s) { return s.value("clock-drift", 0) > 5; });
  const auto set = std::find_if(states.begin(), states.end(), [](const auto& s) { return s.contains("clock-set"); });
  EXPECT_EQ(set - off, 3);
  EXPECT_LE(std::labs(states.back()["clock-set"]["after"].get<long>()), 1);
  const std::string err = ReadWholeFile("monitor.err");
  EXPECT_EQ(Lines("monitor.err", "meter drift_3: clock off by +"), 1) << err;
  EXPECT_EQ(Lines("monitor.err", "a new log run: the monitor set the meter's clock by -"), 1) << err;
  std::map<std::string, double> metrics = Scrape(port);
  EXPECT_EQ(metrics[R"(pylax_clock_sets_total{meter="drift_3",model="QM4C"})"], 1);
  EXPECT_EQ(metrics["pylax_poll_overruns_total"], 0);
  EXPECT_EQ(monitor.End(SIGTERM), 0);
  ASSERT_EQ(RunToEnd(PYLAXCTL_PATH, {"archive", "list", "--archive", "sqlite:archive.sqlite"}, "list"), 0);
  const std::string list = ReadWholeFile("list.out");
  EXPECT_NE(list.find("run 2:"), std::string::npos) << list;
  EXPECT_EQ(list.find("conflict"), std::string::npos) << list;
}
