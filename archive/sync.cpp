#include "archive/sync.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "util/utc_text.h"

namespace {

// What one store lacks of the log as it stood at the state read.
struct StorePlan {
  ArchiveStore* store = nullptr;
  std::optional<SyncCursor> cursor;
  bool reachable = false;
  std::string error;
  bool newRun = false;
  std::string reason;
  int wanted = 0;        // the newest entries the store lacks
  long logged = 0;       // entries logged since its cursor (more than wanted when the log dropped some)
  bool overlap = false;  // the entry before them is the store's newest: checked before any is taken
  bool clockSet = false; // the monitor set the meter's clock since the store's newest entry
};

// How far a step the monitor made may be off the step the log shows: the
// meter's clock is read and set in whole seconds.
constexpr time_t kStepSlack = 2;

LogRunShape ShapeOf(const LogState& state) {
  LogRunShape shape;
  shape.timeStep = state.timeStep;
  std::copy(std::begin(state.slots), std::end(state.slots), shape.slots);
  return shape;
}

void BeginNewRun(StorePlan& plan, const LogState& state, const char* reason) {
  plan.newRun = true;
  plan.reason = reason;
  plan.wanted = state.entries;
  plan.logged = state.entries;
  plan.overlap = false;
}

// While the log is not full the meter counts its entries, so the count says
// how many are new whatever its clock did meanwhile: a clock set back gives
// new entries the instants of archived ones (conflicts), never new instants
// for entries already archived.
void PlanByCount(StorePlan& plan, const LogState& state, const SyncCursor& cursor) {
  const int logged = state.entries - cursor.meterEntries;
  // Fewer entries than before, a log no longer full, or as many entries with
  // another newest one: the log was erased (and logged again) meanwhile.
  if (cursor.meterFull || logged < 0 || (logged == 0 && state.newest != cursor.meterNewest))
    return BeginNewRun(plan, state, "the meter's log was erased and started again");
  plan.wanted = logged;
  plan.logged = logged;
  plan.overlap = logged > 0 && cursor.meterEntries > 0;
}

// A full log counts no more: the newest entry's time alone says how many
// were logged, and those beyond the 5760 it holds are lost (a gap). A step
// the monitor made is taken off that time first.
void PlanByTime(StorePlan& plan, const LogState& state, const SyncCursor& cursor, long clockStep) {
  time_t ahead = state.newest - cursor.meterNewest - clockStep;
  const time_t onGrid = (ahead + state.timeStep / 2) / state.timeStep * state.timeStep;
  if (clockStep != 0 && std::abs(ahead - onGrid) <= kStepSlack) ahead = onGrid;
  if (ahead < 0 || ahead % state.timeStep != 0)
    return BeginNewRun(plan, state, "the meter's clock was set while its log was full");
  plan.logged = static_cast<long>(ahead / state.timeStep);
  plan.wanted = static_cast<int>(std::min<long>(plan.logged, state.entries));
  plan.overlap = plan.logged > 0 && plan.logged < state.entries;
}

void PlanStore(StorePlan& plan, const LogState& state, long clockStep) {
  if (!plan.cursor) return BeginNewRun(plan, state, "");
  if (!(plan.cursor->shape == ShapeOf(state)))
    return BeginNewRun(plan, state, "the meter's log was restarted with other slots or another sub-interval");
  if (state.full)
    PlanByTime(plan, state, *plan.cursor, clockStep);
  else
    PlanByCount(plan, state, *plan.cursor);
  // An expected step: the new entries alone go on a run of their own, whose
  // time line is the clock's new one. One within the clock's resolution is
  // what reading and setting whole seconds make of a clock that was right.
  if (std::labs(clockStep) <= kClockResolutionSeconds || plan.newRun) return;
  plan.clockSet = true;
  plan.reason = "the monitor set the meter's clock by " + std::string(clockStep > 0 ? "+" : "") +
                std::to_string(clockStep) + " s";
}

int EntriesToRead(const std::vector<StorePlan>& plans) {
  int count = 0;
  for (const StorePlan& plan : plans)
    if (plan.reachable) count = std::max(count, plan.wanted + (plan.overlap ? 1 : 0));
  return count;
}

bool Complete(const LoggedData& data, int row) {
  if (row < 0 || row >= data.pointCount) return false;
  for (int slot = 0; slot < reg::kSlotCount; ++slot)
    if (!data.WasRead(slot, row)) return false;
  return true;
}

time_t RowTime(const LoggedData& data, int row) { return data.newestTime - static_cast<time_t>(row) * data.timeStep; }

// The log as read: its top row is `shift` instants newer than the state
// read saw (entries logged during the sync).
struct ReadLog {
  std::unique_ptr<LoggedData> data = std::make_unique<LoggedData>();
  int count = 0;  // entries read of each slot, as the log stood at the state read
  int shift = 0;
};

// Why the log could not be read: a stop, a meter busy with another master
// for longer than the link waits, or what else went wrong.
std::string ReadFailure(const StatusLog& log, const char* stopped, const char* otherwise) {
  if (log.StopRequested()) return stopped;
  return log.GaveUpText().empty() ? otherwise : log.GaveUpText();
}

bool ReadEntries(ModbusLink& link, const Meter& meter, ReadLog& read, const LogState& state, int count, StatusLog& log,
                 std::string& failure) {
  LoggedData& data = *read.data;
  if (!ReadNewestEntries(link, meter, data, {state.timeStep, count, state.newest, true}, log)) {
    failure = ReadFailure(log, "stopped before the log was read whole",
                          "the meter's log could not be read whole (the meter did not answer, or its clock or log "
                          "changed during the sync)");
    return false;
  }
  const time_t ahead = data.newestTime - state.newest;
  if (!std::equal(std::begin(state.slots), std::end(state.slots), data.slotRegisters,
                  [](unsigned a, int16_t b) { return a == static_cast<uint16_t>(b); }) ||
      ahead < 0 || ahead % state.timeStep != 0) {
    failure = "the meter's log was restarted during the sync";
    return false;
  }
  read.count = count;
  read.shift = static_cast<int>(ahead / state.timeStep);
  return true;
}

// A store's overlap entry that is not the entry it archived last means the
// log was erased and logged again since: the store gets the whole log as a
// new run. True when any store changed so.
bool CheckOverlaps(std::vector<StorePlan>& plans, const ReadLog& read, const LogState& state) {
  bool changed = false;
  for (StorePlan& plan : plans) {
    if (!plan.reachable || plan.newRun || !plan.overlap) continue;
    const int row = read.shift + plan.wanted;
    if (!Complete(*read.data, row)) continue;
    for (int slot = 0; slot < reg::kSlotCount; ++slot)
      if (read.data->raw[slot][row] != plan.cursor->newestRaw[slot]) {
        BeginNewRun(plan, state, "the meter's log was erased and started again");
        changed = true;
        break;
      }
  }
  return changed;
}

ArchiveEntry EntryOfRow(const LoggedData& data, int row) {
  ArchiveEntry entry;
  entry.time = RowTime(data, row);
  for (int slot = 0; slot < reg::kSlotCount; ++slot) {
    entry.raw[slot] = data.raw[slot][row];
    entry.defined[slot] = data.valueDefined[slot][row];
    entry.value[slot] = entry.defined[slot] ? data.values[slot][row] : 0.0f;
  }
  return entry;
}

// The rows a store takes: from the oldest it lacks up to the newest complete
// one. Rows the later slots no longer reached (a full log dropped them during
// the sync) are skipped at the old end; rows logged during the sync that not
// every slot reached wait for the next sync.
ArchiveBatch BatchFor(const StorePlan& plan, const Meter& meter, const ReadLog& read, const LogState& state) {
  const LoggedData& data = *read.data;
  ArchiveBatch batch;
  batch.meter = &meter;
  batch.newRun = plan.newRun || plan.clockSet;
  batch.shape = ShapeOf(state);
  const int wantedOldest = std::min(read.shift + plan.wanted, static_cast<int>(data.pointCount)) - 1;
  int oldest = wantedOldest;
  while (oldest >= 0 && !Complete(data, oldest)) --oldest;
  if (oldest < 0 || plan.wanted == 0) return batch;
  int top = oldest;
  while (top > 0 && Complete(data, top - 1)) --top;
  for (int row = oldest; row >= top; --row) batch.entries.push_back(EntryOfRow(data, row));
  const long lost = (plan.logged - plan.wanted) + (wantedOldest - oldest);
  if (!plan.newRun && lost > 0) batch.gap = Gap{plan.cursor->meterNewest, RowTime(data, oldest), lost};
  SyncCursor& cursor = batch.cursor;
  cursor.shape = batch.shape;
  // The meter's count when the top row was its newest entry.
  const int entriesThen = state.entries + (read.shift - top);
  cursor.meterFull = state.full || entriesThen >= reg::kLogCapacity;
  cursor.meterEntries = cursor.meterFull ? reg::kLogCapacity : entriesThen;
  cursor.meterNewest = RowTime(data, top);
  for (int slot = 0; slot < reg::kSlotCount; ++slot) cursor.newestRaw[slot] = data.raw[slot][top];
  return batch;
}

// The log read far enough back for every store, each store's overlap
// checked; false with the failure when the meter could not be read.
bool ReadForPlans(ModbusLink& link, const Meter& meter, std::vector<StorePlan>& plans, ReadLog& read,
                  const LogState& state, StatusLog& log, std::string& failure) {
  for (;;) {
    const int count = EntriesToRead(plans);
    if (count > read.count && !ReadEntries(link, meter, read, state, count, log, failure)) return false;
    // Each change makes a store a new run, which has no overlap to check,
    // so this ends after at most one more read.
    if (read.count == 0 || !CheckOverlaps(plans, read, state)) return true;
  }
}

ArchiveSyncReport ReportOf(const StorePlan& plan) {
  ArchiveSyncReport report;
  report.url = plan.store->Url();
  report.ok = plan.reachable;
  report.error = plan.error;
  if (plan.cursor) {
    report.outcome.run = plan.cursor->run;
    report.outcome.runFirst = plan.cursor->runFirst;
    report.outcome.runLast = plan.cursor->runLast;
    report.outcome.runEntries = plan.cursor->runEntries;
  }
  return report;
}

void Append(const StorePlan& plan, const ArchiveBatch& batch, ArchiveSyncReport& report) {
  StoreOutcome outcome;
  if (!plan.store->Append(batch, outcome, &report.error)) {
    report.ok = false;
    return;
  }
  report.outcome = outcome;
  report.newRun = batch.newRun && plan.cursor.has_value();
  report.newRunReason = plan.reason;
  report.gap = batch.gap;
}

bool ReadLogOfPlans(ModbusLink& link, const Meter& meter, std::vector<StorePlan>& plans, ReadLog& read,
                    SyncResult& result, StatusLog& log, long clockStep) {
  if (!ReadLogState(link, meter, result.state, log)) {
    result.failure = ReadFailure(log, "stopped before the log was read",
                                 "the meter's log status could not be read (the meter did not answer)");
    return false;
  }
  if (result.state.entries > 0 && result.state.newest == static_cast<time_t>(-1)) {
    result.failure = "the meter's newest entry holds no valid date and time";
    return false;
  }
  for (StorePlan& plan : plans)
    if (plan.reachable) PlanStore(plan, result.state, clockStep);
  if (!ReadForPlans(link, meter, plans, read, result.state, log, result.failure)) return false;
  if (read.count > 0 && !ConvertLoggedData(link, meter, *read.data, log)) {
    result.failure = "the meter's scale exponents could not be read";
    return false;
  }
  return true;
}
}  // namespace

bool SyncResult::AllArchived() const {
  return meterRead && std::all_of(archives.begin(), archives.end(), [](const ArchiveSyncReport& r) { return r.ok; });
}

SyncResult SyncMeterLog(ModbusLink& link, const Meter& meter, const std::vector<ArchiveStore*>& stores, StatusLog& log,
                        long clockStep) {
  SyncResult result;
  std::vector<StorePlan> plans(stores.size());
  for (size_t i = 0; i < stores.size(); ++i) {
    plans[i].store = stores[i];
    plans[i].reachable = stores[i]->LoadCursor(meter, plans[i].cursor, &plans[i].error);
  }
  ReadLog read;
  result.meterRead = ReadLogOfPlans(link, meter, plans, read, result, log, clockStep);
  for (const StorePlan& plan : plans) {
    ArchiveSyncReport report = ReportOf(plan);
    if (!result.meterRead && report.ok) {
      report.ok = false;
      report.error = "nothing was read from the meter";
    }
    if (report.ok) {
      const ArchiveBatch batch = BatchFor(plan, meter, read, result.state);
      if (!batch.entries.empty()) Append(plan, batch, report);
    }
    result.archives.push_back(report);
  }
  return result;
}

std::vector<std::string> SyncReportLines(const Meter& meter, const ArchiveSyncReport& report) {
  const std::string head = MeterId(meter) + " -> " + report.url + ": ";
  if (!report.ok) return {head + report.error + "; nothing of this sync counts as archived there"};
  const StoreOutcome& o = report.outcome;
  std::string line = head + std::to_string(o.added) + " new entr" + (o.added == 1 ? "y" : "ies");
  if (o.runEntries > 0)
    line += ", log run " + std::to_string(o.run) + " holds " + std::to_string(o.runEntries) + " from " +
            UtcText(o.runFirst) + " to " + UtcText(o.runLast);
  std::vector<std::string> lines{line};
  if (report.newRun) lines.push_back(head + "a new log run: " + report.newRunReason);
  if (report.gap) {
    const bool one = report.gap->entries == 1;
    lines.push_back(head + "gap: " + std::to_string(report.gap->entries) + (one ? " entry" : " entries") +
                    " lost between " + UtcText(report.gap->after) + " and " + UtcText(report.gap->before) +
                    (one ? " (the meter dropped it before it could be read)"
                         : " (the meter dropped them before they could be read)"));
  }
  if (o.conflicts > 0)
    lines.push_back(head + std::to_string(o.conflicts) + " conflict" + (o.conflicts == 1 ? "" : "s") +
                    ": instants already archived with other values keep their archived values");
  return lines;
}
