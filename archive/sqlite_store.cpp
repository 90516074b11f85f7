#include "archive/sqlite_store.h"

#include <sqlite3.h>

#include <cstdlib>
#include <sstream>

#include "archive/sqlite_statement.h"
#include "modbus/model.h"

namespace {
constexpr int kTableCount = 5;        // meters, runs, entries, gaps, cursors
// Pylax's mark in the file's header (SQLite's application_id): "PYLX".
constexpr int64_t kApplicationId = 0x50594C58;
constexpr int kBusyTimeoutMs = 5000;  // the monitor and a pylaxctl may sync the same file
// The monitor's polled counters, beside the log (archive/sqlite_readings.cpp).
constexpr const char* kReadingsTable =
    "CREATE TABLE IF NOT EXISTS readings (\n"
    "  meter INTEGER NOT NULL REFERENCES meters(id),\n  time INTEGER NOT NULL,\n"
    "  kwh REAL NOT NULL,\n  kvah REAL,\n  kvarh REAL,\n  after_gap INTEGER NOT NULL,\n"
    "  PRIMARY KEY (meter, time)) WITHOUT ROWID;";

// The raw and value columns of the ten slots: "raw1, value1, ..., raw10, value10".
std::string SlotColumns(const char* prefix) {
  std::string columns;
  for (int slot = 1; slot <= reg::kSlotCount; ++slot)
    columns += std::string(slot > 1 ? ", " : "") + prefix + "raw" + std::to_string(slot) + ", " + prefix + "value" +
               std::to_string(slot);
  return columns;
}

std::string RunSlotColumns(const char* prefix) {
  std::string columns;
  for (int slot = 1; slot <= reg::kSlotCount; ++slot)
    columns += std::string(slot > 1 ? ", " : "") + prefix + "slot" + std::to_string(slot);
  return columns;
}

// One row a value: what a person asks of the archive ("the KW of meter X
// last week") without knowing which slot logged it.
std::string ValuesView() {
  std::string view = "CREATE VIEW IF NOT EXISTS log_values AS ";
  for (int slot = 1; slot <= reg::kSlotCount; ++slot) {
    const std::string n = std::to_string(slot);
    view += std::string(slot > 1 ? " UNION ALL " : "") + "SELECT m.meter AS meter, m.identification AS identification, " +
            "r.number AS run, e.time AS time, " + n + " AS slot, r.slot" + n + " AS register, e.raw" + n +
            " AS raw, e.value" + n + " AS value FROM entries e JOIN runs r ON r.id = e.run JOIN meters m ON m.id = e.meter";
  }
  return view + ";";
}

std::string Schema() {
  std::string slots;
  std::string values;
  for (int slot = 1; slot <= reg::kSlotCount; ++slot) {
    const std::string n = std::to_string(slot);
    slots += "  slot" + n + " INTEGER NOT NULL,\n";
    values += "  raw" + n + " INTEGER NOT NULL,\n  value" + n + " REAL,\n";
  }
  return "CREATE TABLE IF NOT EXISTS meters (\n"
         "  id INTEGER PRIMARY KEY,\n  meter TEXT NOT NULL,\n  identification TEXT NOT NULL,\n"
         "  model TEXT NOT NULL,\n  address INTEGER NOT NULL,\n  UNIQUE (meter, identification));\n"
         "CREATE TABLE IF NOT EXISTS runs (\n"
         "  id INTEGER PRIMARY KEY,\n  meter INTEGER NOT NULL REFERENCES meters(id),\n"
         "  number INTEGER NOT NULL,\n  sub_interval INTEGER NOT NULL,\n" +
         slots +
         "  conflicts INTEGER NOT NULL DEFAULT 0,\n  UNIQUE (meter, number));\n"
         "CREATE TABLE IF NOT EXISTS entries (\n"
         "  meter INTEGER NOT NULL REFERENCES meters(id),\n  time INTEGER NOT NULL,\n"
         "  run INTEGER NOT NULL REFERENCES runs(id),\n" +
         values +
         "  PRIMARY KEY (meter, time)) WITHOUT ROWID;\n"
         "CREATE INDEX IF NOT EXISTS entries_of_run ON entries (run, time);\n"
         "CREATE TABLE IF NOT EXISTS gaps (\n"
         "  run INTEGER NOT NULL REFERENCES runs(id),\n  after_time INTEGER NOT NULL,\n"
         "  before_time INTEGER NOT NULL,\n  entries INTEGER NOT NULL);\n"
         "CREATE TABLE IF NOT EXISTS cursors (\n"
         "  meter INTEGER PRIMARY KEY REFERENCES meters(id),\n  run INTEGER NOT NULL REFERENCES runs(id),\n"
         "  meter_entries INTEGER NOT NULL,\n  meter_full INTEGER NOT NULL,\n  meter_newest INTEGER NOT NULL,\n"
         "  newest_raw TEXT NOT NULL);\n" +
         ValuesView();
}

std::string JoinRaw(const int32_t (&raw)[reg::kSlotCount]) {
  std::string text;
  for (int slot = 0; slot < reg::kSlotCount; ++slot) text += (slot > 0 ? "," : "") + std::to_string(raw[slot]);
  return text;
}

void SplitRaw(const std::string& text, int32_t (&raw)[reg::kSlotCount]) {
  std::istringstream in(text);
  std::string field;
  for (int slot = 0; slot < reg::kSlotCount && std::getline(in, field, ','); ++slot)
    raw[slot] = static_cast<int32_t>(std::strtol(field.c_str(), nullptr, 10));
}

// A path as a file: URI takes it, its '%', '?' and '#' percent-encoded.
std::string UriPath(const std::string& path) {
  std::string uri;
  for (const char c : path) uri += c == '%' ? "%25" : c == '?' ? "%3f" : c == '#' ? "%23" : std::string(1, c);
  return uri;
}


// The ten slots' raw and value columns of a row, from `first` on.
void ReadSlotColumns(const Statement& row, int first, ArchiveEntry& entry) {
  for (int slot = 0; slot < reg::kSlotCount; ++slot) {
    entry.raw[slot] = static_cast<int32_t>(row.Int(first + 2 * slot));
    entry.defined[slot] = !row.IsNull(first + 2 * slot + 1);
    entry.value[slot] = entry.defined[slot] ? row.Float(first + 2 * slot + 1) : 0.0f;
  }
}

void ReadShape(const Statement& row, int first, LogRunShape& shape) {
  shape.timeStep = static_cast<int>(row.Int(first));
  for (int slot = 0; slot < reg::kSlotCount; ++slot) shape.slots[slot] = static_cast<unsigned>(row.Int(first + 1 + slot));
}

// Ends the transaction it began: rolled back unless committed.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) { begun_ = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK; }
  ~Transaction() {
    if (begun_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  bool Begun() const { return begun_; }
  bool Commit() {
    begun_ = !(sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK);
    return !begun_;
  }

 private:
  sqlite3* db_;
  bool begun_ = false;
};

// The writing of one batch inside its transaction.
class BatchWriter {
 public:
  BatchWriter(sqlite3* db, const ArchiveBatch& batch, StoreOutcome& outcome) : db_(db), batch_(batch), outcome_(outcome) {}
  bool Write() {
    return MeterRow() && RunRow() && Entries() && GapRow() && Conflicts() && CursorRow() && Span();
  }

 private:
  bool MeterRow();
  bool RunRow();
  bool Entries();
  bool Present(const ArchiveEntry& entry, bool& same);
  bool GapRow();
  bool Conflicts();
  bool CursorRow();
  bool Span();

  sqlite3* db_;
  const ArchiveBatch& batch_;
  StoreOutcome& outcome_;
  int64_t meterId_ = 0;
  int64_t runId_ = 0;
};

bool BatchWriter::MeterRow() {
  const Meter& meter = *batch_.meter;
  Statement insert(db_, "INSERT INTO meters (meter, identification, model, address) VALUES (?, ?, ?, ?) "
                        "ON CONFLICT DO NOTHING");
  insert.Bind(1, MeterId(meter))
      .Bind(2, meter.identification)
      .Bind(3, ModelName(meter.model))
      .Bind(4, meter.address)
      .Step();
  Statement find(db_, "SELECT id FROM meters WHERE meter = ? AND identification = ?");
  find.Bind(1, MeterId(meter)).Bind(2, meter.identification);
  if (!insert.Ok() || !find.Step()) return false;
  meterId_ = find.Int(0);
  return true;
}

// A batch goes on the run of the meter's cursor unless it begins a new one.
bool BatchWriter::RunRow() {
  if (!batch_.newRun) {
    Statement cursor(db_, "SELECT c.run, r.number FROM cursors c JOIN runs r ON r.id = c.run WHERE c.meter = ?");
    cursor.Bind(1, meterId_);
    if (cursor.Step()) {
      runId_ = cursor.Int(0);
      outcome_.run = static_cast<int>(cursor.Int(1));
      return true;
    }
    if (!cursor.Ok()) return false;
  }
  Statement number(db_, "SELECT coalesce(max(number), 0) + 1 FROM runs WHERE meter = ?");
  number.Bind(1, meterId_);
  if (!number.Step()) return false;
  outcome_.run = static_cast<int>(number.Int(0));
  Statement insert(db_, "INSERT INTO runs (meter, number, sub_interval, " + RunSlotColumns("") +
                            ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  insert.Bind(1, meterId_).Bind(2, outcome_.run).Bind(3, batch_.shape.timeStep);
  for (int slot = 0; slot < reg::kSlotCount; ++slot) insert.Bind(4 + slot, batch_.shape.slots[slot]);
  insert.Step();
  runId_ = sqlite3_last_insert_rowid(db_);
  return insert.Ok();
}

// An entry is never rewritten: one whose instant is archived already is
// either the same (present) or a conflict, and the archived one stays.
bool BatchWriter::Entries() {
  std::string placeholders;
  for (int i = 0; i < 2 * reg::kSlotCount; ++i) placeholders += ", ?";
  Statement insert(db_, "INSERT INTO entries (meter, time, run, " + SlotColumns("") + ") VALUES (?, ?, ?" +
                            placeholders + ") ON CONFLICT (meter, time) DO NOTHING");
  for (const ArchiveEntry& entry : batch_.entries) {
    insert.Reset();
    insert.Bind(1, meterId_).Bind(2, entry.time).Bind(3, runId_);
    for (int slot = 0; slot < reg::kSlotCount; ++slot)
      insert.Bind(4 + 2 * slot, entry.raw[slot]).BindValue(5 + 2 * slot, entry.defined[slot], entry.value[slot]);
    insert.Step();
    if (!insert.Ok()) return false;
    if (sqlite3_changes(db_) == 1) {
      ++outcome_.added;
      continue;
    }
    bool same = false;
    if (!Present(entry, same)) return false;
    ++(same ? outcome_.present : outcome_.conflicts);
  }
  return true;
}

bool BatchWriter::Present(const ArchiveEntry& entry, bool& same) {
  Statement archived(db_, "SELECT r.sub_interval, " + RunSlotColumns("r.") + ", " + SlotColumns("e.") +
                              " FROM entries e JOIN runs r ON r.id = e.run WHERE e.meter = ? AND e.time = ?");
  archived.Bind(1, meterId_).Bind(2, entry.time);
  if (!archived.Step()) return false;
  LogRunShape shape;
  ReadShape(archived, 0, shape);
  ArchiveEntry kept;
  kept.time = entry.time;
  ReadSlotColumns(archived, 1 + reg::kSlotCount, kept);
  same = kept.SameAs(entry) && std::equal(std::begin(shape.slots), std::end(shape.slots), batch_.shape.slots);
  return true;
}

bool BatchWriter::GapRow() {
  if (!batch_.gap) return true;
  Statement insert(db_, "INSERT INTO gaps (run, after_time, before_time, entries) VALUES (?, ?, ?, ?)");
  insert.Bind(1, runId_).Bind(2, batch_.gap->after).Bind(3, batch_.gap->before).Bind(4, batch_.gap->entries).Step();
  return insert.Ok();
}

bool BatchWriter::Conflicts() {
  if (outcome_.conflicts == 0) return true;
  Statement update(db_, "UPDATE runs SET conflicts = conflicts + ? WHERE id = ?");
  update.Bind(1, outcome_.conflicts).Bind(2, runId_).Step();
  return update.Ok();
}

bool BatchWriter::CursorRow() {
  const SyncCursor& cursor = batch_.cursor;
  Statement upsert(db_,
                   "INSERT OR REPLACE INTO cursors (meter, run, meter_entries, meter_full, meter_newest, newest_raw) "
                   "VALUES (?, ?, ?, ?, ?, ?)");
  upsert.Bind(1, meterId_).Bind(2, runId_).Bind(3, cursor.meterEntries).Bind(4, cursor.meterFull ? 1 : 0);
  upsert.Bind(5, cursor.meterNewest).Bind(6, JoinRaw(cursor.newestRaw)).Step();
  return upsert.Ok();
}

bool BatchWriter::Span() {
  Statement span(db_, "SELECT min(time), max(time), count(*) FROM entries WHERE run = ?");
  span.Bind(1, runId_);
  if (!span.Step()) return false;
  outcome_.runFirst = span.Int(0);
  outcome_.runLast = span.Int(1);
  outcome_.runEntries = static_cast<long>(span.Int(2));
  return true;
}

// A meters row: its id was MeterId of the meter, so the bus id is the id
// less "_ADDRESS"; the model was written as its name.
Meter StoredMeter(const std::string& id, int address, const std::string& model, const std::string& identification) {
  const std::string suffix = "_" + std::to_string(address);
  const bool named = id.size() >= suffix.size() && id.compare(id.size() - suffix.size(), suffix.size(), suffix) == 0;
  return {address, ModelCodeFromText(model.c_str()), identification,
          named ? id.substr(0, id.size() - suffix.size()) : id};
}
}  // namespace

SqliteStore::SqliteStore(std::string url, std::string path) : url_(std::move(url)), path_(std::move(path)) {}

SqliteStore::~SqliteStore() { sqlite3_close(db_); }

std::string SqliteStore::Error(const std::string& what) const {
  return what + " " + path_ + ": " + (db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory");
}

bool SqliteStore::Exec(const char* sql, std::string* error) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  *error = Error("cannot use the archive");
  return false;
}

// The file's tables and views: how many there are, and how many of them are
// Pylax's own.
bool SqliteStore::CountTables(int* ours, int* all, std::string* error) {
  Statement count(db_, "SELECT count(*), count(CASE WHEN type = 'table' AND name IN ('meters', 'runs', 'entries', "
                       "'gaps', 'cursors') THEN 1 END) FROM sqlite_master");
  if (!count.Step()) {
    *error = Error("cannot read the archive");
    return false;
  }
  *all = static_cast<int>(count.Int(0));
  *ours = static_cast<int>(count.Int(1));
  return true;
}

// The file's mark, or, in an archive written before there was one, each
// of Pylax's tables exactly as Pylax creates it (then the file is marked,
// when it is to be written). Tables of the same names are not enough: a
// file of another program's is never switched to WAL or added to.
bool SqliteStore::Recognise(bool forWriting, std::string* error) {
  Statement mark(db_, "PRAGMA application_id");
  if (!mark.Step()) {
    *error = Error("cannot read the archive");
    return false;
  }
  if (mark.Int(0) == kApplicationId) return true;
  if (mark.Int(0) != 0 || !HoldsPylaxTables()) return false;
  return !forWriting || Exec(("PRAGMA application_id = " + std::to_string(kApplicationId)).c_str(), error);
}

bool SqliteStore::HoldsPylaxTables() {
  sqlite3* made = nullptr;
  int wanted = 0, same = 0;
  if (sqlite3_open(":memory:", &made) == SQLITE_OK &&
      sqlite3_exec(made, Schema().c_str(), nullptr, nullptr, nullptr) == SQLITE_OK) {
    Statement want(made, "SELECT name, sql FROM sqlite_master WHERE type = 'table' AND name IN "
                         "('meters', 'runs', 'entries', 'gaps', 'cursors')");
    for (; want.Step(); ++wanted) {
      Statement have(db_, "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = ?");
      have.Bind(1, want.Text(0));
      same += have.Step() && have.Text(0) == want.Text(1) ? 1 : 0;
    }
  }
  sqlite3_close(made);
  return wanted > 0 && same == wanted;
}

bool SqliteStore::Connect(const std::string& name, int flags, std::string* error) {
  sqlite3_close(db_);
  db_ = nullptr;
  if (sqlite3_open_v2(name.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    *error = Error("cannot open the archive");
    return false;
  }
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  return true;
}

bool SqliteStore::Open(bool forWriting, std::string* error) {
  const int flags = forWriting ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
  int ours = 0, all = 0;
  if (!Connect(path_, flags, error)) return false;
  // Reading a WAL file needs its -shm beside it. Where the folder takes
  // none (another user's, read-only media), none is there, so nothing is
  // writing the file: it is read as it stands.
  if (!CountTables(&ours, &all, error) &&
      (forWriting || !Connect("file:" + UriPath(path_) + "?immutable=1", flags | SQLITE_OPEN_URI, error) ||
       !CountTables(&ours, &all, error)))
    return false;
  // Another program's file is left as it is: no tables added, its journal
  // mode kept. Only a new, empty file becomes an archive.
  const bool fresh = all == 0 && forWriting;
  std::string unread;
  if (!fresh && (ours != kTableCount || !Recognise(forWriting, &unread))) {
    *error = !unread.empty() ? unread
                             : path_ + " is no Pylax archive (it bears no Pylax mark, and it lacks Pylax's tables "
                                       "meters, runs, entries, gaps and cursors); it was left as it is";
    return false;
  }
  if (!forWriting) return true;
  if (fresh && !Exec(("PRAGMA application_id = " + std::to_string(kApplicationId)).c_str(), error)) return false;
  // WAL: a reader (list, export) never waits for a sync, and a sync killed
  // before its commit leaves nothing of itself behind. NORMAL syncs the disk
  // at checkpoints: a kill loses nothing committed, a power cut at most the
  // last syncs, never the file's consistency.
  return Exec("PRAGMA journal_mode=WAL", error) && Exec("PRAGMA synchronous=NORMAL", error) &&
         Exec(Schema().c_str(), error) && Exec(kReadingsTable, error);
}

bool SqliteStore::LoadCursor(const Meter& meter, std::optional<SyncCursor>& cursor, std::string* error) {
  cursor.reset();
  Statement row(db_, "SELECT r.number, r.sub_interval, " + RunSlotColumns("r.") +
                         ", c.meter_entries, c.meter_full, c.meter_newest, c.newest_raw, "
                         "(SELECT min(time) FROM entries WHERE run = r.id), (SELECT max(time) FROM entries WHERE run = r.id), "
                         "(SELECT count(*) FROM entries WHERE run = r.id) "
                         "FROM cursors c JOIN runs r ON r.id = c.run JOIN meters m ON m.id = c.meter "
                         "WHERE m.meter = ? AND m.identification = ?");
  row.Bind(1, MeterId(meter)).Bind(2, meter.identification);
  if (row.Step()) {
    SyncCursor c;
    c.run = static_cast<int>(row.Int(0));
    ReadShape(row, 1, c.shape);
    const int next = 2 + reg::kSlotCount;
    c.meterEntries = static_cast<int>(row.Int(next));
    c.meterFull = row.Int(next + 1) != 0;
    c.meterNewest = row.Int(next + 2);
    SplitRaw(row.Text(next + 3), c.newestRaw);
    c.runFirst = row.Int(next + 4);
    c.runLast = row.Int(next + 5);
    c.runEntries = static_cast<long>(row.Int(next + 6));
    cursor = c;
  }
  if (row.Ok()) return true;
  *error = Error("cannot read the archive");
  return false;
}

bool SqliteStore::Append(const ArchiveBatch& batch, StoreOutcome& outcome, std::string* error) {
  outcome = {};
  Transaction transaction(db_);
  if (transaction.Begun() && BatchWriter(db_, batch, outcome).Write() && transaction.Commit()) return true;
  *error = Error("cannot write the archive");
  outcome = {};
  return false;
}

bool SqliteStore::ListMeters(std::vector<ArchivedMeterRuns>& meters, std::string* error) {
  Statement meterRows(db_, "SELECT id, meter, identification, model, address FROM meters ORDER BY id");
  while (meterRows.Step()) {
    ArchivedMeterRuns item;
    item.meter =
        StoredMeter(meterRows.Text(1), static_cast<int>(meterRows.Int(4)), meterRows.Text(3), meterRows.Text(2));
    Statement runRows(db_, "SELECT r.id, r.number, r.conflicts, r.sub_interval, " + RunSlotColumns("r.") +
                               ", min(e.time), max(e.time), count(e.time) FROM runs r "
                               "LEFT JOIN entries e ON e.run = r.id WHERE r.meter = ? GROUP BY r.id ORDER BY r.number");
    runRows.Bind(1, meterRows.Int(0));
    while (runRows.Step()) {
      ArchivedRun run;
      run.number = static_cast<int>(runRows.Int(1));
      run.conflicts = static_cast<long>(runRows.Int(2));
      ReadShape(runRows, 3, run.shape);
      const int next = 4 + reg::kSlotCount;
      run.first = runRows.Int(next);
      run.last = runRows.Int(next + 1);
      run.entries = static_cast<long>(runRows.Int(next + 2));
      Statement gapRows(db_, "SELECT after_time, before_time, entries FROM gaps WHERE run = ? ORDER BY after_time");
      gapRows.Bind(1, runRows.Int(0));
      while (gapRows.Step()) run.gaps.push_back({gapRows.Int(0), gapRows.Int(1), static_cast<long>(gapRows.Int(2))});
      if (!gapRows.Ok()) break;
      item.runs.push_back(run);
    }
    if (!runRows.Ok()) break;
    meters.push_back(item);
  }
  if (meterRows.Ok()) return true;
  *error = Error("cannot read the archive");
  return false;
}

bool SqliteStore::RunEntries(const Meter& meter, int run, time_t from, time_t to,
                             const std::function<void(const ArchiveEntry&)>& take, std::string* error) {
  Statement rows(db_, "SELECT e.time, " + SlotColumns("e.") +
                          " FROM entries e JOIN runs r ON r.id = e.run JOIN meters m ON m.id = e.meter "
                          "WHERE m.meter = ? AND m.identification = ? AND r.number = ? AND e.time BETWEEN ? AND ? "
                          "ORDER BY e.time DESC");
  rows.Bind(1, MeterId(meter)).Bind(2, meter.identification).Bind(3, run).Bind(4, from).Bind(5, to);
  while (rows.Step()) {
    ArchiveEntry entry;
    entry.time = rows.Int(0);
    ReadSlotColumns(rows, 1, entry);
    take(entry);
  }
  if (rows.Ok()) return true;
  *error = Error("cannot read the archive");
  return false;
}
