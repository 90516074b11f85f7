// pylaxctl archive report against a QM4C's log of 40 days (a daylight-saving
// change, an energy reset) and a QM4A polled by the monitor, in real SQLite:
// the consumption is the meter's own kWh counter's differences.

#include <sqlite3.h>

#include <cinttypes>
#include <map>
#include <regex>

#include "tests/monitor/monitor_support.h"
#include "tests/support/influx_server.h"

namespace {
constexpr double kResolution = 0.1;  // the QM4C's energy pair counts tenths of a kWh

// Sets TZ for the test and the pylaxctl it starts, and puts it back.
struct LocalZone {
  explicit LocalZone(const char* zone) { setenv("TZ", zone, 1); tzset(); }
  ~LocalZone() {
    if (saved.empty()) unsetenv("TZ"); else setenv("TZ", saved.c_str(), 1);
    tzset();
  }
  std::string saved = std::getenv("TZ") != nullptr ? std::getenv("TZ") : "";
};

// pylaxctl run to its end, its stdout returned.
std::string Pylaxctl(const std::vector<std::string>& args) {
  Child tool(PYLAXCTL_PATH, args, "tool");
  EXPECT_EQ(tool.End(0, 120), 0) << ReadWholeFile("tool.err");
  return ReadWholeFile("tool.out");
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::stringstream in(line);
  for (std::string field; std::getline(in, field, ',');) fields.push_back(field);
  return fields;
}

// The report's CSV rows by period label.
std::map<std::string, std::vector<std::string>> ReportRows(const std::vector<std::string>& args) {
  std::map<std::string, std::vector<std::string>> rows;
  for (const std::string& line : SplitLines(Pylaxctl(args)))
    if (const std::vector<std::string> f = Fields(line); f.size() == 13 && f[0] != "meter") rows[f[1]] = f;
  return rows;
}

// The kWh column of a download's 03-data.csv by the row's UTC instant.
std::map<time_t, double> DownloadedKwh() {
  std::map<time_t, double> kwh;
  for (const std::string& line : SplitLines(ReadWholeFile("03-data.csv"))) {
    const std::vector<std::string> f = Fields(line);
    if (f.size() > 3 && f[1].rfind("0x", 0) == 0) kwh[std::stol(f[1], nullptr, 16)] = std::stod(f[3]);
  }
  return kwh;
}

time_t Utc(const char* text) {
  struct tm fields {};
  strptime(text, "%Y-%m-%dT%H:%MZ", &fields);
  return timegm(&fields);
}

struct LogReportCase {
  const char* by;
  const char* from;
  const char* to;
  const char* label;
  int hours;
  int resets;
  // The stretches whose counter differences the period's consumption is.
  std::vector<std::pair<const char*, const char*>> segments;
};

// New York: EDT (UTC-4) until 2026-11-01 06:00Z, then EST (UTC-5). The
// energy was reset just after 2026-11-28 00:00 local (05:00Z).
const LogReportCase kLogCases[] = {
    {"day", "2026-11-01", "2026-11-02", "2026-11-01", 25, 0, {{"2026-11-01T04:00Z", "2026-11-02T05:00Z"}}},
    {"day", "2026-11-20", "2026-11-21", "2026-11-20", 24, 0, {{"2026-11-20T05:00Z", "2026-11-21T05:00Z"}}},
    {"day", "2026-11-28", "2026-11-29", "2026-11-28", 24, 1, {{"2026-11-28T05:15Z", "2026-11-29T05:00Z"}}},
    {"day", "2026-12-07", "2026-12-08", "2026-12-07", 24, 0, {{"2026-12-07T05:00Z", "2026-12-08T05:00Z"}}},
    {"hour", "2026-11-01T06:00:00Z", "2026-11-01T07:00:00Z", "2026-11-01 01:00 EST", 1, 0,
     {{"2026-11-01T06:00Z", "2026-11-01T07:00Z"}}},
    {"month", "2026-11-01", "2026-12-01", "2026-11", 721, 1,
     {{"2026-11-01T04:00Z", "2026-11-28T05:00Z"}, {"2026-11-28T05:15Z", "2026-12-01T05:00Z"}}},
};

// The QM4C's clock at a quarter hour as the log fills, so that its entries
// fall on the hours (set again should the second turn meanwhile).
void FillLog(SimProcess& sim) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    for (const char* command : {"clock 3 2026 11 28 00 00 00", "energy 3 300000", "prefill 3 2880"})
      ASSERT_EQ(sim.Command(command), "ok");
    if (sim.Command("get 3 167") == "ok 0") break;  // the newest entry's minute and second
  }
  ASSERT_EQ(sim.Command("set 3 128 30078"), "ok");  // the energy reset
  ASSERT_EQ(sim.Command("elapse 3 960"), "ok");
}

// count(*) of the meter's polled readings and how many of them hold kwh.
std::pair<long, long> Readings(double kwh) {
  sqlite3* db = nullptr;
  std::pair<long, long> found{0, 0};
  if (sqlite3_open_v2("archive.sqlite", &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* query = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*), count(CASE WHEN kwh = ? THEN 1 END) FROM readings", -1, &query, nullptr);
    sqlite3_bind_double(query, 1, kwh);
    if (sqlite3_step(query) == SQLITE_ROW) found = {sqlite3_column_int64(query, 0), sqlite3_column_int64(query, 1)};
    sqlite3_finalize(query);
  }
  sqlite3_close(db);
  return found;
}
}  // namespace

// By hour, day and month the report gives the differences of the counter
// the meter logged: the 25-hour day, the hour that comes twice, the reset a
// segment of its own rather than a negative number.
TEST(ArchiveReport, QM4CLogGivesTheMetersOwnDifferences) {
  TempCurrentDirectory cwd;
  LocalZone zone("America/New_York");
  SimProcess sim({"--meter", "3:QM4C"});
  FillLog(sim);
  Pylaxctl({"--port", sim.LinkPath(), "--slave", "3", "--framing", "length", "log", "sync", "--archive",
            "sqlite:archive.sqlite"});
  Pylaxctl({"--port", sim.LinkPath(), "--slave", "3", "--framing", "length", "log", "download"});
  const std::map<time_t, double> meter = DownloadedKwh();
  ASSERT_EQ(meter.size(), 3840u);
  for (const LogReportCase& c : kLogCases) {
    auto rows = ReportRows({"archive", "report", "--archive", "sqlite:archive.sqlite", "--by", c.by, "--from", c.from,
                            "--to", c.to, "--csv"});
    ASSERT_EQ(rows.count(c.label), 1u) << c.label;
    const std::vector<std::string>& row = rows[c.label];
    double expected = 0;
    for (const auto& [from, to] : c.segments) expected += meter.at(Utc(to)) - meter.at(Utc(from));
    EXPECT_NEAR(std::stod(row[9]), expected, kResolution) << c.label;
    EXPECT_EQ(row[4], std::to_string(c.hours)) << c.label;
    EXPECT_EQ(row[12], std::to_string(c.resets)) << c.label;
    EXPECT_EQ(row[10], "log") << c.label;
  }
}

// A QM4A has no log: what the monitor polled is its counter, and what it
// counted while no monitor polled it, or while it was silent, is never
// bridged.
TEST(ArchiveReport, QM4APolledReadingsGiveTheConsumptionTheMonitorSaw) {
  TempCurrentDirectory cwd;
  InfluxServer influx(INFLUXD_PATH);
  ASSERT_TRUE(influx.Start());
  SimProcess sim({"--meter", "5:QM4A"});
  ASSERT_EQ(sim.Command("static 5 on"), "ok");
  const std::vector<std::string> monitor{"--port", sim.LinkPath(), "monitor", "--bus-id", "rd", "--start", "5",
                                         "--end", "5", "--interval", "0.2", "--archive", "sqlite:archive.sqlite",
                                         "--archive", "influx://127.0.0.1:" + std::to_string(influx.Port()) + "/pylax",
                                         "--archive-readings", "0.01"};
  const auto energy = [&](double kwh) { ASSERT_EQ(sim.Command("energy 5 " + std::to_string(kwh)), "ok"); };
  const auto polled = [&](double kwh, long times) {
    ASSERT_TRUE(WaitUntil([&] { return Readings(kwh).second >= times; })) << ReadWholeFile("monitor.err");
  };
  // Three runs of the monitor; in the third the meter is silent long enough
  // to go offline, and what it counted meanwhile is not bridged either.
  const std::tuple<double, double, bool> runs[] = {{1000.5, 1012.25, false}, {1030, 1031.5, false}, {1040, 1051.25, true}};
  for (const auto& [first, last, silent] : runs) {
    ASSERT_NO_FATAL_FAILURE(energy(first));
    Child polling(PYLAXCTL_PATH, monitor, "monitor");
    ASSERT_NO_FATAL_FAILURE(polled(first, 2));
    if (silent) {
      ASSERT_EQ(sim.Command("fault 5 silent"), "ok");
      ASSERT_TRUE(WaitUntil([&] { return Lines("monitor.err", "meter rd_5 stopped answering") == 1; }));
      for (const char* command : {"energy 5 1050", "fault 5 none"}) ASSERT_EQ(sim.Command(command), "ok");
      ASSERT_NO_FATAL_FAILURE(polled(1050, 1));
    }
    ASSERT_NO_FATAL_FAILURE(energy(last));
    ASSERT_NO_FATAL_FAILURE(polled(last, 2));
    EXPECT_EQ(polling.End(SIGTERM), 0);
  }
  const time_t now = std::time(nullptr);
  char from[16], to[16];
  std::strftime(from, sizeof from, "%Y-%m-%d", std::localtime(&now));
  const time_t tomorrow = now + 2 * 86400;
  std::strftime(to, sizeof to, "%Y-%m-%d", std::localtime(&tomorrow));
  for (const char* by : {"hour", "day", "month"}) {
    double used = 0;
    for (const auto& [label, row] : ReportRows({"archive", "report", "--archive", "sqlite:archive.sqlite", "--by", by,
                                                "--from", from, "--to", to, "--csv"})) {
      used += std::stod(row[9]);
      EXPECT_EQ(row[11] == "0.0" ? "polled" : row[10], "polled") << label;
      EXPECT_EQ(row[12], "0") << label;
    }
    EXPECT_NEAR(used, 11.75 + 1.5 + 1.25, 0.0005) << by;
  }
  EXPECT_TRUE(std::regex_search(
      Pylaxctl({"archive", "list", "--archive", "sqlite:archive.sqlite"}),
      std::regex("^rd_5  Orvant QM4A Power Meter \\(QM4A\\)\n  polled readings: " + std::to_string(Readings(0).first) +
                 " from 20\\d\\d-\\d\\d-\\d\\dT[0-9:]{8}Z to 20")));
  // InfluxDB has the same readings, each outage's first side marked.
  const nlohmann::json gaps = influx.Query(
      "pylax", "SELECT count(kwh), min(kwh), max(kwh) FROM pylax_readings WHERE meter = 'rd_5' AND after_gap = true");
  EXPECT_EQ(gaps["results"][0]["series"][0]["values"][0], nlohmann::json::parse(R"([0, 4, 1000.5, 1050])")) << gaps;
}
