// The SQLite archive's counters: the table of polled readings beside the
// log, and a meter's kWh counter read back from both for the reports.

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include "archive/sqlite_statement.h"
#include "archive/sqlite_store.h"
#include "modbus/model.h"

namespace {

// The slot of a run whose value is the kWh counter: the energy pair (slots
// holding 1 and 2) or a kWh float pair; -1 where none is logged.
int KwhSlot(const unsigned (&slots)[reg::kSlotCount]) {
  const auto slotOf = [&](unsigned number) {
    const auto at = std::find(std::begin(slots), std::end(slots), number);
    return at == std::end(slots) ? -1 : static_cast<int>(at - std::begin(slots));
  };
  for (const unsigned first : {1u, 257u, 259u})
    if (slotOf(first) >= 0 && slotOf(first + 1) >= 0) return slotOf(first);
  return -1;
}

// The slot holding the register after the kWh slot's.
int KwhPartner(const unsigned (&slots)[reg::kSlotCount], int kwh) {
  return static_cast<int>(std::find(std::begin(slots), std::end(slots), slots[kwh] + 1) - std::begin(slots));
}

// The energy pair's count times its scale, exactly where the CSV's float
// would round a large count (a float keeps 7 digits; the meter counts
// tenths of up to 9 or 10): the scale is the power of ten the converted
// value shows.
double EnergyPairKwh(int64_t msw, int64_t lsw, double converted) {
  const double count = static_cast<double>(msw * 65536 + lsw);
  if (count <= 0 || converted <= 0) return converted;
  return count * std::pow(10.0, std::round(std::log10(converted / count)));
}

std::string SlotList(const char* prefix) {
  std::string columns;
  for (int slot = 1; slot <= reg::kSlotCount; ++slot)
    columns += std::string(", ") + prefix + std::to_string(slot);
  return columns;
}
}  // namespace

// A monitor started again within the second the last one kept its last
// reading in: the new run's first reading, which begins after the outage,
// takes the instant, so that the outage is never bridged.
bool SqliteStore::AppendReadings(const Meter& meter, const std::vector<PolledReading>& readings, std::string* error) {
  if (!Exec("BEGIN IMMEDIATE", error)) return false;
  Statement addMeter(db_, "INSERT INTO meters (meter, identification, model, address) VALUES (?, ?, ?, ?) "
                      "ON CONFLICT DO NOTHING");
  addMeter.Bind(1, MeterId(meter)).Bind(2, meter.identification).Bind(3, ModelName(meter.model)).Bind(4, meter.address);
  addMeter.Step();
  Statement insert(db_, "INSERT INTO readings (meter, time, kwh, kvah, kvarh, after_gap) SELECT id, ?, ?, ?, ?, ? "
                    "FROM meters WHERE meter = ? AND identification = ? ON CONFLICT (meter, time) DO UPDATE SET "
                    "kwh = excluded.kwh, kvah = excluded.kvah, kvarh = excluded.kvarh, after_gap = 1 "
                    "WHERE excluded.after_gap = 1");
  bool ok = addMeter.Ok();
  for (const PolledReading& reading : readings) {
    if (!ok) break;
    insert.Reset();
    insert.Bind(1, reading.time).Bind(2, std::optional<double>(reading.kwh)).Bind(3, reading.kvah).Bind(4, reading.kvarh);
    insert.Bind(5, reading.afterGap ? 1 : 0).Bind(6, MeterId(meter)).Bind(7, meter.identification).Step();
    ok = insert.Ok();
  }
  if (ok && Exec("COMMIT", error)) return true;
  *error = Error("cannot write the archive");
  sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  return false;
}

// Entries of every run that logs kWh, oldest first. A lost stretch (a gap)
// or a pause between runs is not bridged.
bool SqliteStore::LogCounter(const Meter& meter, CounterSeries& log) {
  log.source = CounterSource::Log;
  Statement gaps(db_, "SELECT g.after_time FROM gaps g JOIN runs r ON r.id = g.run JOIN meters m ON m.id = r.meter "
                  "WHERE m.meter = ? AND m.identification = ?");
  gaps.Bind(1, MeterId(meter)).Bind(2, meter.identification);
  std::set<time_t> gapAfter;
  while (gaps.Step()) gapAfter.insert(gaps.Int(0));
  const std::string sql = "SELECT e.time, r.id, r.sub_interval" + SlotList("r.slot") + SlotList("e.value") + SlotList("e.raw") +
                          " FROM entries e JOIN runs r ON r.id = e.run JOIN meters m ON m.id = e.meter "
                          "WHERE m.meter = ? AND m.identification = ? ORDER BY e.time";
  Statement rows(db_, sql.c_str());
  rows.Bind(1, MeterId(meter)).Bind(2, meter.identification);
  int64_t lastRun = 0;
  time_t lastTime = 0;
  while (rows.Step()) {
    unsigned slots[reg::kSlotCount];
    for (int slot = 0; slot < reg::kSlotCount; ++slot) slots[slot] = static_cast<unsigned>(rows.Int(3 + slot));
    const int kwh = KwhSlot(slots);
    const int valueColumn = 3 + reg::kSlotCount + kwh;
    if (kwh < 0 || rows.IsNull(valueColumn)) continue;
    const time_t time = rows.Int(0);
    const int rawColumn = 3 + 2 * reg::kSlotCount;
    const double value = slots[kwh] != 1 ? rows.Real(valueColumn)
                                         : EnergyPairKwh(rows.Int(rawColumn + kwh),
                                                         rows.Int(rawColumn + KwhPartner(slots, kwh)), rows.Real(valueColumn));
    const bool newRun = rows.Int(1) != lastRun && lastRun != 0 && time - lastTime != rows.Int(2);
    const bool lost = !log.points.empty() && gapAfter.count(lastTime) > 0;
    if (!std::isfinite(value)) continue;  // a float pair that is no number counts nothing
    log.points.push_back({time, value, newRun || lost});
    lastRun = rows.Int(1);
    lastTime = time;
  }
  return gaps.Ok() && rows.Ok();
}

bool SqliteStore::PolledCounter(const Meter& meter, CounterSeries& polled) {
  polled.source = CounterSource::Polled;
  Statement table(db_, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'readings'");
  if (!table.Step() || table.Int(0) == 0) return table.Ok();  // an archive from before readings were kept
  Statement rows(db_, "SELECT r.time, r.kwh, r.after_gap FROM readings r JOIN meters m ON m.id = r.meter "
                  "WHERE m.meter = ? AND m.identification = ? ORDER BY r.time");
  rows.Bind(1, MeterId(meter)).Bind(2, meter.identification);
  while (rows.Step()) polled.points.push_back({rows.Int(0), rows.Real(1), rows.Int(2) != 0});
  return rows.Ok();
}

bool SqliteStore::CounterSeriesOf(const Meter& meter, CounterSeries& log, CounterSeries& polled, std::string* error) {
  log.points.clear();
  polled.points.clear();
  if (LogCounter(meter, log) && PolledCounter(meter, polled)) return true;
  *error = Error("cannot read the archive");
  return false;
}

bool SqliteStore::ReadingsSpans(std::vector<ArchivedMeterRuns>& meters, std::string* error) {
  Statement table(db_, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'readings'");
  const bool kept = table.Step() && table.Int(0) > 0;
  bool ok = table.Ok();
  for (ArchivedMeterRuns& item : meters) {
    if (!kept || !ok) break;
    Statement span(db_, "SELECT count(*), min(r.time), max(r.time) FROM readings r JOIN meters m ON m.id = r.meter "
                    "WHERE m.meter = ? AND m.identification = ?");
    span.Bind(1, MeterId(item.meter)).Bind(2, item.meter.identification);
    if (span.Step()) {
      item.readings = static_cast<long>(span.Int(0));
      item.readingsFirst = span.Int(1);
      item.readingsLast = span.Int(2);
    }
    ok = span.Ok();
  }
  if (ok) return true;
  *error = Error("cannot read the archive");
  return false;
}
