#pragma once
// --archive in the monitor: each QM4C's new log entries synced into the
// archives between rounds, one meter at a time, so that no round waits
// longer than one meter's sync.

#include <chrono>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "archive/sync.h"
#include "monitor/publisher.h"

class LogKeeper {
 public:
  using Clock = std::chrono::steady_clock;
  // The stores are opened once, at start, and kept; each meter is synced
  // every everyMinutes, the first time at its first round.
  LogKeeper(std::vector<std::unique_ptr<ArchiveStore>> stores, double everyMinutes);

  // Whether the meter's sync is due at now; when is when it was due (a
  // meter never synced: the epoch of the clock), so that the one waiting
  // longest goes first.
  bool Due(const std::string& meterId, Clock::time_point now, Clock::time_point* when) const;
  // Syncs the meter over link (its port open), reading through log, and
  // sets its next due time.
  SyncResult Sync(ModbusLink& link, const Meter& meter, StatusLog& log);
  // The monitor moved the meter's clock by seconds: its next syncs expect
  // the step until every archive has begun the run after it.
  void ClockStepped(const std::string& meterId, long seconds) { steps_[meterId] += seconds; }

  // The newest entry time every archive holds of the meter after result;
  // 0 while one of them holds nothing of it.
  static time_t ArchivedUpTo(const SyncResult& result);
  // What the monitor says of a sync: failures, and what new entries,
  // gaps, runs and conflicts it brought; nothing for a sync with nothing
  // new.
  static std::vector<std::string> Lines(const Meter& meter, const SyncResult& result);

 private:
  std::vector<std::unique_ptr<ArchiveStore>> stores_;
  Clock::duration every_;
  std::map<std::string, Clock::time_point> next_;  // by meter id
  std::map<std::string, long> steps_;              // by meter id: clock steps no archive has recorded yet
};
