#pragma once
// A QM4C of qm4sim whose log moves only when told (static), its link opened
// as the port, and a SQLite archive in the test's own folder.


#include "archive/sqlite_store.h"
#include "archive/sync.h"
#include "tests/support/core_fixture.h"

inline const Meter kMeter{3, ModelQM4C, "Orvant QM4C Power Meter", "COM1"};

// At a message of the reading that begins with `at`, a sim command.
struct Step {
  const char* at;
  const char* command;
};

class ScriptedSyncLog : public SyncStatusLog {
 public:
  ScriptedSyncLog(SimProcess& sim, std::vector<Step> steps) : sim_(sim), steps_(std::move(steps)) {}
  void Show(const std::string& message, const std::string&) override {
    if (next_ < steps_.size() && message.rfind(steps_[next_].at, 0) == 0) {
      EXPECT_EQ(sim_.Command(steps_[next_++].command), "ok");
    }
  }

 private:
  SimProcess& sim_;
  std::vector<Step> steps_;
  size_t next_ = 0;
};

class ArchiveSync : public CoreOverSim {
 protected:
  // Every transaction the link has made, whatever its result.
  unsigned long Transactions() const {
    unsigned long all = 0;
    for (int result = 0; result < kResultCount; ++result) all += link_.TransactionsWith(static_cast<ModbusResult>(result));
    return all;
  }
  void StartMeter(const std::vector<std::string>& extra = {"--log-sequence"}) {
    std::vector<std::string> args{"--meter", "3:QM4C", "--static", "--subinterval", "60"};
    args.insert(args.end(), extra.begin(), extra.end());
    StartBus(args);
    // The link's faster framing: the sync reads as it does under either,
    // and the tests read many entries.
    link_.SetSettings(LinkSettings{Framing::Length, {}, {}});
    pickedMeter_.address = 3;
    pickedMeter_.model = 3;
    std::string error;
    ASSERT_TRUE(store_.Open(true, &error)) << error;
  }
  // Into the SQLite archive, then the others given.
  SyncResult Sync(std::vector<Step> script = {}, const std::vector<ArchiveStore*>& others = {}, long clockStep = 0) {
    ScriptedSyncLog log(*sim_, std::move(script));
    std::vector<ArchiveStore*> stores{&store_};
    stores.insert(stores.end(), others.begin(), others.end());
    return SyncMeterLog(link_, kMeter, stores, log, clockStep);
  }
  // "clock 3 {newest-600}": the meter's clock set to its newest entry's
  // wall time moved by the seconds given.
  std::string Expand(const std::string& command) {
    const size_t brace = command.find("{newest");
    if (brace == std::string::npos) return command;
    int r[3];
    for (int i = 0; i < 3; ++i) r[i] = std::stoi(sim_->Command("get 3 " + std::to_string(165 + i)).substr(3));
    struct tm wall = MeterTimeToTm(UnpackMeterTime(r[0], r[1], r[2]));
    const time_t moved = timegm(&wall) + std::stol(command.substr(brace + 7));
    gmtime_r(&moved, &wall);
    char fields[64];
    std::strftime(fields, sizeof fields, "%Y %m %d %H %M %S", &wall);
    return command.substr(0, brace) + fields;
  }
  // Each run's entries, oldest first: (time, sequence number), after
  // checking that all ten slots of an entry hold one instant's number.
  std::vector<std::vector<std::pair<time_t, int>>> Runs() {
    std::vector<ArchivedMeterRuns> meters;
    std::string error;
    EXPECT_TRUE(store_.ListMeters(meters, &error)) << error;
    std::vector<std::vector<std::pair<time_t, int>>> runs;
    for (const ArchivedRun& run : meters.empty() ? std::vector<ArchivedRun>{} : meters[0].runs) {
      runs.emplace_back();
      store_.RunEntries(kMeter, run.number, 0, INT64_MAX, [&](const ArchiveEntry& entry) {
        for (int slot = 1; slot < reg::kSlotCount; ++slot) EXPECT_EQ(entry.raw[slot], entry.raw[0]) << entry.time;
        runs.back().insert(runs.back().begin(), {entry.time, entry.raw[0]});
      }, &error);
    }
    return runs;
  }
  void TearDown() override {
    link_.SetSettings(LinkSettings{Framing::Silence, {}, {}});
    CoreOverSim::TearDown();
  }
  SqliteStore store_{"sqlite:archive.sqlite", "archive.sqlite"};
};

