#pragma once
// The embedded archive: one SQLite file in WAL mode, one transaction per
// sync, so that a sync killed at any point leaves the file as it was before
// that sync. Also what `pylaxctl archive list` and `archive export` read.

#include <functional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/consumption.h"

struct sqlite3;

// A log run as the archive holds it.
struct ArchivedRun {
  int number = 0;
  LogRunShape shape;
  time_t first = 0;
  time_t last = 0;
  long entries = 0;
  long conflicts = 0;
  std::vector<Gap> gaps;
};

struct ArchivedMeterRuns {
  Meter meter;
  std::vector<ArchivedRun> runs;  // oldest first
  long readings = 0;              // the monitor's polled counters (ReadingsSpans)
  time_t readingsFirst = 0;
  time_t readingsLast = 0;
};

class SqliteStore : public ArchiveStore {
 public:
  // url: as given ("sqlite:PATH"), for messages.
  SqliteStore(std::string url, std::string path);
  ~SqliteStore() override;
  SqliteStore(const SqliteStore&) = delete;
  SqliteStore& operator=(const SqliteStore&) = delete;

  // forWriting (sync): opens the file, making it and its tables when it is
  // missing or empty. Else (list, export) opens it read-only, refusing a
  // missing file. Either refuses, untouched, a file that holds other tables
  // than an archive's.
  bool Open(bool forWriting, std::string* error);

  const std::string& Url() const override { return url_; }
  bool LoadCursor(const Meter& meter, std::optional<SyncCursor>& cursor, std::string* error) override;
  bool Append(const ArchiveBatch& batch, StoreOutcome& outcome, std::string* error) override;

  bool AppendReadings(const Meter& meter, const std::vector<PolledReading>& readings, std::string* error) override;
  // A meter's kWh counter as its log holds it (the runs with a kWh slot)
  // and as the monitor polled it (archive/sqlite_readings.cpp).
  bool CounterSeriesOf(const Meter& meter, CounterSeries& log, CounterSeries& polled, std::string* error);
  // Fills each meter's polled readings: how many, the first and the last.
  bool ReadingsSpans(std::vector<ArchivedMeterRuns>& meters, std::string* error);

  // Every meter with its runs, meters in the order first archived.
  bool ListMeters(std::vector<ArchivedMeterRuns>& meters, std::string* error);
  // The entries of one run of a meter from `from` to `to` (inclusive), newest
  // first, each passed to take.
  bool RunEntries(const Meter& meter, int run, time_t from, time_t to,
                  const std::function<void(const ArchiveEntry&)>& take, std::string* error);

 private:
  bool Exec(const char* sql, std::string* error);
  bool LogCounter(const Meter& meter, CounterSeries& log);
  bool PolledCounter(const Meter& meter, CounterSeries& polled);
  bool CountTables(int* ours, int* all, std::string* error);
  bool Recognise(bool forWriting, std::string* error);
  bool HoldsPylaxTables();
  bool Connect(const std::string& name, int flags, std::string* error);
  std::string Error(const std::string& what) const;

  std::string url_;
  std::string path_;
  sqlite3* db_ = nullptr;
};
