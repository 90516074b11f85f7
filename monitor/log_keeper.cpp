#include "monitor/log_keeper.h"

#include <algorithm>
#include <cstdlib>

LogKeeper::LogKeeper(std::vector<std::unique_ptr<ArchiveStore>> stores, double everyMinutes)
    : stores_(std::move(stores)),
      every_(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(everyMinutes * 60))) {}

bool LogKeeper::Due(const std::string& meterId, Clock::time_point now, Clock::time_point* when) const {
  const auto next = next_.find(meterId);
  *when = next == next_.end() ? Clock::time_point() : next->second;
  return *when <= now;
}

SyncResult LogKeeper::Sync(ModbusLink& link, const Meter& meter, StatusLog& log) {
  std::vector<ArchiveStore*> stores;
  for (const auto& store : stores_) stores.push_back(store.get());
  const auto step = steps_.find(MeterId(meter));
  const long clockStep = step == steps_.end() ? 0 : step->second;
  const SyncResult result = SyncMeterLog(link, meter, stores, log, clockStep);
  next_[MeterId(meter)] = Clock::now() + every_;
  const bool noStep = std::labs(clockStep) <= kClockResolutionSeconds;
  const auto newRun = [](const ArchiveSyncReport& r) { return r.newRun; };
  if (step != steps_.end() && result.AllArchived() &&
      (noStep || std::all_of(result.archives.begin(), result.archives.end(), newRun)))
    steps_.erase(step);
  return result;
}

time_t LogKeeper::ArchivedUpTo(const SyncResult& result) {
  time_t upTo = 0;
  for (const ArchiveSyncReport& report : result.archives) {
    if (report.outcome.runLast <= 0) return 0;
    upTo = upTo == 0 ? report.outcome.runLast : std::min(upTo, report.outcome.runLast);
  }
  return upTo;
}

std::vector<std::string> LogKeeper::Lines(const Meter& meter, const SyncResult& result) {
  if (!result.meterRead) return {MeterId(meter) + ": " + result.failure + "; nothing archived"};
  std::vector<std::string> lines;
  for (const ArchiveSyncReport& report : result.archives) {
    const StoreOutcome& o = report.outcome;
    if (report.ok && o.added == 0 && !report.gap && !report.newRun && o.conflicts == 0) continue;
    for (const std::string& line : SyncReportLines(meter, report)) lines.push_back(line);
  }
  return lines;
}
