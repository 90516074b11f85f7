#pragma once
// The incremental sync of one meter's log into one or more archives.
//
// A caller (pylaxctl log sync; the monitor between its rounds) calls
// SyncMeterLog with its link, the port open, the meter and its stores.
// The log's state costs one read; only when some store lacks entries are
// slots selected and entries read, the newest n of each slot, bracketed by
// the newest entry's time as the download reads them. The meter's log is
// never changed: the sync only selects slots at 157 and reads.

#include <string>
#include <vector>

#include "archive/archive.h"
#include "bus/download.h"
#include "bus/status_log.h"
#include "modbus/link.h"

// How one store came out of a sync.
struct ArchiveSyncReport {
  std::string url;
  bool ok = false;
  std::string error;    // when not ok: why; nothing of this sync counts as archived there
  bool newRun = false;  // the entries began a new log run
  std::string newRunReason;
  StoreOutcome outcome;
  std::optional<Gap> gap;
};

struct SyncResult {
  // False when the meter's log could not be read whole (meter silent, its
  // log changed under the sync, asked to stop): then no store took anything.
  bool meterRead = false;
  std::string failure;
  LogState state;
  std::vector<ArchiveSyncReport> archives;  // in the order of the stores
  // True when the meter was read and every store took its entries.
  bool AllArchived() const;
};

// The status log a sync reads through: it shows nothing and keeps no
// "log.txt" (that file describes a download); a stop is asked as for any
// logging operation, through stop.
class SyncStatusLog : public StatusLog {
 public:
  explicit SyncStatusLog(const StopToken* stop = nullptr) : StatusLog(stop) {}
  void Show(const std::string&, const std::string&) override {}
  bool KeepsLogFile() const override { return false; }
};

// A step of the meter's clock this small (either way) starts no run.
constexpr long kClockResolutionSeconds = 1;

// Reads the meter at meter.address over link. log takes the reading's
// messages (the download's own) and is asked whether to stop before each
// transaction; it keeps no "log.txt" of its own unless it says so.
// clockStep: the seconds the monitor moved the meter's clock by since the
// last sync (0 none): its entries from then on begin a new run, and a full
// log's newest entry is expected that much off its time line.
SyncResult SyncMeterLog(ModbusLink& link, const Meter& meter, const std::vector<ArchiveStore*>& stores, StatusLog& log,
                        long clockStep = 0);

// The lines that say what a sync did for one store: new entries, the run's
// span, a gap, conflicts, or the failure.
std::vector<std::string> SyncReportLines(const Meter& meter, const ArchiveSyncReport& report);
