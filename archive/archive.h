#pragma once
// The log archive: a meter's logged entries kept off the meter, each a fact
// keyed by (meter, instant) that is never rewritten. Stores (SQLite,
// InfluxDB) are small implementations of one interface; the sync decides
// what is new and hands each store the entries it lacks.

#include <bitset>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "meter/meter.h"
#include "meter/register_map.h"

// The archive tells meters apart by MeterId (bus and address) with the
// identification text beside it, the model written out as its name: another
// text at the same address is another meter.

// What makes a log run: the sub-interval and the register in each slot. A
// log restarted with another of them, or erased, begins a new run.
struct LogRunShape {
  int timeStep = 0;
  unsigned slots[reg::kSlotCount] = {};
  bool operator==(const LogRunShape& other) const;
};

// One logging instant: per slot the raw register value and, where the CSV
// has one, the converted value.
struct ArchiveEntry {
  time_t time = 0;  // UTC seconds, as the download computes a row's time
  int32_t raw[reg::kSlotCount] = {};
  float value[reg::kSlotCount] = {};
  std::bitset<reg::kSlotCount> defined;  // the slots with a value
  // Same instant and same registers logged with the same raw values.
  bool SameAs(const ArchiveEntry& other) const;
};

// Entries the meter logged and dropped before a sync could read them: those
// after `after` and before `before`, instants of the same run.
struct Gap {
  time_t after = 0;
  time_t before = 0;
  long entries = 0;
};

// What a store knew of a meter after its last sync: the meter's log as it
// stood at the newest entry the store took, so that the next sync can tell
// which entries are new without trusting the meter's clock.
struct SyncCursor {
  int run = 0;                 // the store's log run number for this meter, from 1
  LogRunShape shape;
  int meterEntries = 0;        // register 162 then (5760 once full)
  bool meterFull = false;      // register 160 not 0 then
  time_t meterNewest = 0;      // the newest entry's time then
  int32_t newestRaw[reg::kSlotCount] = {};  // and its raw values
  // The run as the store holds it (filled by LoadCursor; a batch's cursor
  // leaves them to the store).
  time_t runFirst = 0;
  time_t runLast = 0;
  long runEntries = 0;
};

// One sync's entries for one store, oldest first.
struct ArchiveBatch {
  const Meter* meter = nullptr;
  bool newRun = false;  // the entries begin a new log run
  LogRunShape shape;
  std::vector<ArchiveEntry> entries;
  std::optional<Gap> gap;
  SyncCursor cursor;  // what the store knows once it holds them (its run number set by the store)
};

// What a store did with a batch, and its run as it now stands.
struct StoreOutcome {
  int run = 0;
  long added = 0;      // entries new to the store
  long present = 0;    // already there, the same
  long conflicts = 0;  // instants already there with other values: the archived ones kept
  time_t runFirst = 0;
  time_t runLast = 0;
  long runEntries = 0;
};

// One poll's energy counters as the monitor keeps them for every meter
// (--archive-readings). afterGap: the first after an outage (the meter not
// answering, the monitor away); the stretch before it is never bridged.
struct PolledReading {
  time_t time = 0;  // when the poll ended, UTC seconds
  double kwh = 0;
  std::optional<double> kvah;  // none where the model has no such counter
  std::optional<double> kvarh;
  bool afterGap = false;
};

class ArchiveStore {
 public:
  virtual ~ArchiveStore() = default;
  // The archive's URL as given, for messages.
  virtual const std::string& Url() const = 0;
  // The store's cursor for a meter, none when it has never synced that
  // meter. False with *error when the store cannot be reached or read.
  virtual bool LoadCursor(const Meter& meter, std::optional<SyncCursor>& cursor, std::string* error) = 0;
  // Takes the batch whole or not at all: on false (with *error) nothing of
  // it counts as archived and the cursor stays as it was.
  virtual bool Append(const ArchiveBatch& batch, StoreOutcome& outcome, std::string* error) = 0;
  // Takes the meter's polled counters whole or not at all; an instant kept
  // already keeps its values unless the new reading begins after a gap.
  virtual bool AppendReadings(const Meter& meter, const std::vector<PolledReading>& readings, std::string* error) = 0;
};
