// The archive's costs. "sync": the bus time of a sync that finds 0, 60,
// 1440 or 5760 new entries of 10 slots, against qm4sim pacing its bytes at
// 38400 and 9600 baud under each framing, next to the line's own limit for
// the same exchanges (request and answer bytes at 10 bits a character, the
// simulator's 5 ms turnaround, and under silence the 35 ms of quiet that
// ends each read). "stores": entries a second written into a SQLite file
// and into a real influxd, 5760 entries a batch. "report": the time of
// `archive report` over three such batches (17280 entries, 24 days) by
// hour, day and month.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "archive/influx_store.h"
#include "archive/report.h"
#include "archive/sqlite_store.h"
#include "archive/sync.h"
#include "bench/paced_sim.h"
#include "tests/support/influx_server.h"

namespace {
constexpr double kTurnaroundMs = 5.0;  // qm4sim's default with --baud
constexpr double kBitsPerCharacter = 10.0;
const Meter kMeter{3, ModelQM4C, "Orvant QM4C Power Meter", "bench"};
int g_onlyBaud = 0;         // 0: 38400 and 9600
std::string g_onlyFraming;  // empty: both

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double LineLimit(int baud, Framing framing) {
  const double quiet = QuietAfterAnswerMs(framing, baud);
  return (g_lineTally.requestBytes + g_lineTally.answerBytes) * kBitsPerCharacter / baud +
         g_lineTally.exchanges * (kTurnaroundMs + quiet) / 1000.0;
}

// A sync measured after the meter logged `fresh` entries beyond what the
// archive holds (10 entries synced first).
bool MeasureSync(SimLauncher& sim, ModbusLink& link, int baud, long fresh, const std::string& dir) {
  SqliteStore store("sqlite:bench", dir + "/sync-" + std::to_string(baud) + "-" + std::to_string(fresh) + ".sqlite");
  std::string error;
  SyncStatusLog log;
  if (!store.Open(true, &error) || !SyncMeterLog(link, kMeter, {&store}, log).AllArchived()) return false;
  if (fresh > 0) dprintf(sim.ControlFd(), "elapse 3 %ld\n", fresh);
  usleep(300000);  // the simulator takes the command between two requests
  g_lineTally = {};
  const auto start = std::chrono::steady_clock::now();
  const SyncResult result = SyncMeterLog(link, kMeter, {&store}, log);
  const double wall = Seconds(start);
  if (!result.AllArchived()) {
    std::fprintf(stderr, "sync failed: %s%s\n", result.failure.c_str(), result.archives[0].error.c_str());
    return false;
  }
  const double line = LineLimit(baud, link.Settings().framing);
  std::printf("| %d | %s | %ld | %ld | %ld | %.2f s | %.2f s | %.3f |\n", baud, FramingName(link.Settings().framing), fresh,
              result.archives[0].outcome.added, g_lineTally.exchanges, wall, line, wall / line);
  std::fflush(stdout);
  return true;
}

bool BenchSync(const std::string& dir) {
  std::printf("| baud | framing | logged | archived | transactions | sync | line limit | ratio |\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
  for (const int baud : {38400, 9600})
    for (const Framing framing : {Framing::Silence, Framing::Length}) {
      if ((g_onlyBaud != 0 && baud != g_onlyBaud) || (!g_onlyFraming.empty() && g_onlyFraming != FramingName(framing)))
        continue;
      for (const long fresh : {0L, 60L, 1440L, 5760L}) {
        SimLauncher sim;
        ModbusLink link;
        link.SetSettings(LinkSettings{framing, {}, {}});
        TallyExchangesOf(link);
        const std::vector<std::string> args{"--meter", "3:QM4C", "--baud", std::to_string(baud), "--static",
                                            "--subinterval", "60", "--prefill", "10"};
        if (!StartAndOpenSim(sim, link, args, baud, QM4SIM_PATH) || !MeasureSync(sim, link, baud, fresh, dir))
          return false;
      }
    }
  return true;
}

// 5760 entries one minute apart, every slot holding a value.
ArchiveBatch Batch(int run) {
  ArchiveBatch batch;
  batch.meter = &kMeter;
  batch.newRun = true;
  batch.shape.timeStep = 60;
  const unsigned slots[reg::kSlotCount] = {1, 2, 3, 6, 8, 9, 26, 261, 262, 146};
  std::copy(std::begin(slots), std::end(slots), batch.shape.slots);
  const time_t base = 1768478400 + static_cast<time_t>(run) * 86400 * 10;
  for (int k = 0; k < reg::kLogCapacity; ++k) {
    ArchiveEntry entry;
    entry.time = base + k * 60;
    for (int slot = 0; slot < reg::kSlotCount; ++slot) {
      entry.raw[slot] = k + slot;
      entry.value[slot] = static_cast<float>(k) * 0.25f;
      entry.defined[slot] = slot != 9;
    }
    batch.entries.push_back(entry);
  }
  batch.cursor.shape = batch.shape;
  batch.cursor.meterEntries = reg::kLogCapacity;
  batch.cursor.meterFull = true;
  batch.cursor.meterNewest = batch.entries.back().time;
  return batch;
}

void MeasureStore(const char* name, ArchiveStore& store) {
  std::optional<SyncCursor> cursor;
  std::string error;
  if (!store.LoadCursor(kMeter, cursor, &error)) {
    std::fprintf(stderr, "%s: %s\n", name, error.c_str());
    return;
  }
  for (int run = 0; run < 3; ++run) {
    const ArchiveBatch batch = Batch(run);
    StoreOutcome outcome;
    const auto start = std::chrono::steady_clock::now();
    const bool written = store.Append(batch, outcome, &error);
    const double wall = Seconds(start);
    std::printf("| %s | %d | %ld | %.3f s | %.0f |\n", name, run + 1, outcome.added, wall,
                written ? outcome.added / wall : 0.0);
  }
}

void BenchStores(const std::string& dir) {
  std::printf("| store | batch | entries | time | entries/s |\n|---|---|---|---|---|\n");
  SqliteStore sqlite("sqlite:bench", dir + "/stores.sqlite");
  std::string error;
  if (sqlite.Open(true, &error)) MeasureStore("SQLite", sqlite);
  InfluxServer server(INFLUXD_PATH);
  if (!server.Start()) {
    std::fprintf(stderr, "influxd did not start\n");
    return;
  }
  InfluxSettings settings;
  settings.host = "127.0.0.1";
  settings.port = server.Port();
  settings.database = "bench";
  InfluxStore influx("influx://bench", settings);
  MeasureStore("InfluxDB", influx);
}
void BenchReport(const std::string& dir) {
  SqliteStore store("sqlite:bench", dir + "/report.sqlite");
  std::string error;
  StoreOutcome outcome;
  if (!store.Open(true, &error)) return;
  for (int run = 0; run < 3; ++run)
    if (!store.Append(Batch(run), outcome, &error)) return;
  const time_t from = Batch(0).entries.front().time, to = Batch(2).entries.back().time;
  std::printf("| by | periods | time |\n|---|---|---|\n");
  for (const auto& [name, kind] : {std::pair{"hour", PeriodKind::Hour}, std::pair{"day", PeriodKind::Day},
                                   std::pair{"month", PeriodKind::Month}}) {
    std::vector<MeterReport> meters;
    const auto start = std::chrono::steady_clock::now();
    if (!BuildReport(store, {kind, from, to, ""}, meters, &error)) return;
    std::printf("| %s | %zu | %.3f s |\n", name, meters[0].periods.size(), Seconds(start));
  }
}
}  // namespace

// pylax_bench_archive [sync|stores|report] [BAUD FRAMING]: all by default.
int main(int argc, char** argv) {
  const std::string what = argc > 1 ? argv[1] : "";
  if (argc > 3) {
    g_onlyBaud = std::atoi(argv[2]);
    g_onlyFraming = argv[3];
  }
  const std::string dir = std::filesystem::temp_directory_path() / ("pylax-bench-archive-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  bool ok = true;
  if (what.empty() || what == "sync") ok = BenchSync(dir);
  if (what.empty() || what == "stores") BenchStores(dir);
  if (what.empty() || what == "report") BenchReport(dir);
  std::filesystem::remove_all(dir);
  return ok ? 0 : 1;
}
