#include "archive/influx_store.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "logging/status_log.h"

namespace {
constexpr int kConnectTimeoutS = 5;
constexpr int kTransferTimeoutS = 30;  // a read or a write, within a request's deadline
// A request as a whole: connect, send and the whole answer.
constexpr int kRequestDeadlineS = 10;
constexpr int kErrorRegister = 146;
constexpr const char* kMeasurement = "pylax_log";
constexpr const char* kCursorMeasurement = "pylax_log_sync";
constexpr const char* kGapMeasurement = "pylax_log_gap";
constexpr const char* kWhereMeter = " WHERE \"meter\" = ";

std::string Escaped(const std::string& text, const std::string& special) {
  std::string out;
  for (const char c : text) {
    if (special.find(c) != std::string::npos) out += '\\';
    out += c;
  }
  return out;
}

// InfluxQL string literal: 'text' with its quotes and backslashes escaped.
std::string QueryString(const std::string& text) { return "'" + Escaped(text, "'\\") + "'"; }

std::string PercentEncoded(const std::string& text) {
  std::string out;
  for (const unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

// A float written so that it reads back as the same float: 9 significant
// digits hold every single-precision value.
std::string FloatField(float value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
  return text;
}

std::string IntField(long long value) { return std::to_string(value) + "i"; }

// What the archive holds of one point: its field's name and number.
struct PointValue {
  std::string field;
  double number = 0;
  bool operator==(const PointValue& other) const { return field == other.field && number == other.number; }
};
using ArchivedPoints = std::map<time_t, std::map<unsigned, PointValue>>;

// The point of one slot of an entry (the slot holds register number reg).
PointValue PointOf(unsigned reg, const ArchiveEntry& entry, int slot) {
  if (entry.defined[slot]) return {"value", static_cast<double>(entry.value[slot])};
  return {reg == kErrorRegister ? "error" : "raw", static_cast<double>(entry.raw[slot] & 0xFFFF)};
}

std::string FieldText(const PointValue& point, const ArchiveEntry& entry, int slot) {
  return point.field + "=" + (point.field == "value" ? FloatField(entry.value[slot]) : IntField(std::lround(point.number)));
}

std::map<unsigned, PointValue> EntryPoints(const LogRunShape& shape, const ArchiveEntry& entry) {
  std::map<unsigned, PointValue> points;
  for (int slot = 0; slot < reg::kSlotCount; ++slot)
    if (shape.slots[slot] != 0) points[shape.slots[slot]] = PointOf(shape.slots[slot], entry, slot);
  return points;
}

// The points a query of time, register and the three fields gave, by
// instant and register; columns taken by name, as a field never written is
// no column at all.
ArchivedPoints PointsOf(const std::string& body) {
  ArchivedPoints points;
  const nlohmann::json json = nlohmann::json::parse(body.empty() ? "{}" : body, nullptr, false);
  if (!json.is_object() || !json.contains("results") || !json["results"][0].contains("series")) return points;
  const nlohmann::json& series = json["results"][0]["series"][0];
  std::map<std::string, size_t> column;
  for (size_t i = 0; i < series["columns"].size(); ++i) column[series["columns"][i].get<std::string>()] = i;
  for (const auto& row : series["values"]) {
    PointValue point;
    for (const char* field : {"value", "error", "raw"})
      if (column.count(field) > 0 && !row[column[field]].is_null()) point = {field, row[column[field]].get<double>()};
    const std::string reg = row[column["register"]].get<std::string>();
    points[row[column["time"]].get<long long>()][static_cast<unsigned>(std::strtoul(reg.c_str(), nullptr, 10))] = point;
  }
  return points;
}

std::string CursorFields(const SyncCursor& c, long conflicts, time_t archivedNewest) {
  std::string slots;
  for (int slot = 0; slot < reg::kSlotCount; ++slot) slots += (slot > 0 ? "," : "") + std::to_string(c.shape.slots[slot]);
  std::string raw;
  for (int slot = 0; slot < reg::kSlotCount; ++slot) raw += (slot > 0 ? "," : "") + std::to_string(c.newestRaw[slot]);
  return "run=" + IntField(c.run) + ",sub_interval=" + IntField(c.shape.timeStep) + ",slots=" + InfluxString(slots) +
         ",meter_entries=" + IntField(c.meterEntries) + ",meter_full=" + (c.meterFull ? "true" : "false") +
         ",meter_newest=" + IntField(c.meterNewest) + ",newest_raw=" + InfluxString(raw) +
         ",run_first=" + IntField(c.runFirst) + ",run_last=" + IntField(c.runLast) +
         ",run_entries=" + IntField(c.runEntries) + ",conflicts=" + IntField(conflicts) +
         ",archived_newest=" + IntField(archivedNewest);
}

void SplitNumbers(const std::string& text, int count, const std::function<void(int, long)>& take) {
  size_t start = 0;
  for (int i = 0; i < count && start <= text.size(); ++i) {
    const size_t comma = text.find(',', start);
    take(i, std::strtol(text.c_str() + start, nullptr, 10));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
}

// The columns of a series' first row by name.
std::map<std::string, nlohmann::json> FirstRow(const nlohmann::json& series) {
  std::map<std::string, nlohmann::json> row;
  const auto& columns = series.at("columns");
  const auto& values = series.at("values").at(0);
  for (size_t i = 0; i < columns.size(); ++i) row[columns[i].get<std::string>()] = values[i];
  return row;
}

SyncCursor CursorOfRow(const std::map<std::string, nlohmann::json>& row, long& conflicts, time_t& archivedNewest) {
  SyncCursor c;
  auto number = [&](const char* name) { return row.at(name).get<long long>(); };
  c.run = static_cast<int>(number("run"));
  c.shape.timeStep = static_cast<int>(number("sub_interval"));
  SplitNumbers(row.at("slots").get<std::string>(), reg::kSlotCount,
               [&](int i, long v) { c.shape.slots[i] = static_cast<unsigned>(v); });
  c.meterEntries = static_cast<int>(number("meter_entries"));
  c.meterFull = row.at("meter_full").get<bool>();
  c.meterNewest = number("meter_newest");
  SplitNumbers(row.at("newest_raw").get<std::string>(), reg::kSlotCount,
               [&](int i, long v) { c.newestRaw[i] = static_cast<int32_t>(v); });
  c.runFirst = number("run_first");
  c.runLast = number("run_last");
  c.runEntries = static_cast<long>(number("run_entries"));
  conflicts = static_cast<long>(number("conflicts"));
  archivedNewest = number("archived_newest");
  return c;
}
}  // namespace

std::string InfluxTag(const std::string& value) { return Escaped(value, ", ="); }

// ",name=value"; nothing for an empty value, which line protocol does not
// take (InfluxQL compares a missing tag equal to '').
std::string TagPair(const std::string& name, const std::string& value) {
  return value.empty() ? "" : "," + name + "=" + InfluxTag(value);
}

std::string InfluxString(const std::string& value) { return "\"" + Escaped(value, "\"\\") + "\""; }

std::string InfluxEntryLines(const ArchivedMeter& meter, const LogRunShape& shape, const ArchiveEntry& entry) {
  std::string lines;
  for (int slot = 0; slot < reg::kSlotCount; ++slot) {
    const unsigned number = shape.slots[slot];
    if (number == 0) continue;  // a free slot
    const std::string field = FieldText(PointOf(number, entry, slot), entry, slot);
    const std::string label = RegisterLabel(number);
    lines += std::string(kMeasurement) + TagPair("meter", meter.id) + TagPair("model", meter.model) +
             TagPair("register", std::to_string(number)) + TagPair("label", label) + " " +
             field + " " + std::to_string(static_cast<long long>(entry.time)) + "\n";
  }
  return lines;
}

struct InfluxStore::Response {
  bool reached = false;
  int status = 0;
  std::string body;
  std::string failure;  // why it was not reached, or the server's error
};

InfluxStore::InfluxStore(std::string url, InfluxSettings settings)
    : url_(std::move(url)), settings_(std::move(settings)) {
  client_ = std::make_unique<httplib::Client>(std::string(settings_.tls ? "https" : "http") + "://" + settings_.host +
                                              ":" + std::to_string(settings_.port));
  if (settings_.tls) {
    if (!settings_.caFile.empty()) client_->set_ca_cert_path(settings_.caFile);
    client_->enable_server_certificate_verification(true);
  }
  if (!settings_.user.empty()) client_->set_basic_auth(settings_.user, settings_.password);
  client_->set_connection_timeout(kConnectTimeoutS);
  client_->set_read_timeout(kTransferTimeoutS);
  client_->set_write_timeout(kTransferTimeoutS);
}

// httplib's timeouts are per read and per write: a server answering a byte
// at a time held a request, a sync and the monitor's polls for ever. So a
// watch stops each request at its deadline, or at once when the program is
// asked to stop (g_stopRequested).
httplib::Result InfluxStore::Send(const std::function<httplib::Result(httplib::Client&)>& request) {
  std::mutex mutex;
  std::condition_variable answered;
  bool done = false;
  late_ = false;
  std::thread watch([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kRequestDeadlineS);
    std::unique_lock<std::mutex> hold(mutex);
    while (!done && !g_stopRequested && std::chrono::steady_clock::now() < deadline)
      answered.wait_for(hold, std::chrono::milliseconds(50));
    if (done) return;
    late_ = g_stopRequested == 0;
    client_->stop();
  });
  httplib::Result result = request(*client_);
  {
    std::lock_guard<std::mutex> hold(mutex);
    done = true;
  }
  answered.notify_one();
  watch.join();
  return result;
}

std::string InfluxStore::Unreached(httplib::Error error) const {
  const std::string server = "InfluxDB at " + settings_.host + ":" + std::to_string(settings_.port);
  return late_ ? server + " gave no whole answer within " + std::to_string(kRequestDeadlineS) + " s"
               : "cannot reach " + server + " (" + httplib::to_string(error) + ")";
}

InfluxStore::~InfluxStore() = default;

// The server's own error: a query's "error" in its results, or the
// body's "error" of a refused request.
InfluxStore::Response InfluxStore::Query(const std::string& statement, bool post) {
  const httplib::Params params{{"db", settings_.database}, {"q", statement}, {"epoch", "s"}};
  httplib::Result result = Send([&](httplib::Client& client) {
    return post ? client.Post("/query", params) : client.Get("/query", params, httplib::Headers{});
  });
  Response response;
  if (!result) {
    response.failure = Unreached(result.error());
    return response;
  }
  response.reached = true;
  response.status = result->status;
  response.body = result->body;
  const nlohmann::json json = nlohmann::json::parse(result->body, nullptr, false);
  if (json.is_object() && json.contains("error")) response.failure = json["error"].get<std::string>();
  else if (json.is_object() && json.contains("results") && !json["results"].empty() && json["results"][0].contains("error"))
    response.failure = json["results"][0]["error"].get<std::string>();
  else if (result->status != 200)
    response.failure = "HTTP " + std::to_string(result->status);
  return response;
}

bool InfluxStore::CreateDatabase(std::string* error) {
  const Response response = Query("CREATE DATABASE \"" + Escaped(settings_.database, "\"\\") + "\"", true);
  if (response.failure.empty()) return true;
  *error = response.reached ? "InfluxDB has no database \"" + settings_.database + "\" and would not create it: " +
                                  response.failure
                            : response.failure;
  return false;
}

bool InfluxStore::LoadCursor(const ArchivedMeter& meter, std::optional<SyncCursor>& cursor, std::string* error) {
  cursor.reset();
  cursor_.reset();
  conflicts_ = 0;
  archivedNewest_ = 0;
  const Response response = Query(std::string("SELECT * FROM ") + kCursorMeasurement + kWhereMeter + QueryString(meter.id) +
                                      " AND \"identification\" = " + QueryString(meter.identification) +
                                      " ORDER BY time DESC LIMIT 1",
                                  false);
  if (response.failure.rfind("database not found", 0) == 0) return CreateDatabase(error);
  if (!response.failure.empty()) {
    *error = response.reached ? "InfluxDB refused the query: " + response.failure : response.failure;
    return false;
  }
  const nlohmann::json json = nlohmann::json::parse(response.body, nullptr, false);
  try {
    const auto& result = json.at("results").at(0);
    if (!result.contains("series")) return true;
    cursor_ = CursorOfRow(FirstRow(result.at("series").at(0)), conflicts_, archivedNewest_);
  } catch (const nlohmann::json::exception&) {
    *error = "InfluxDB's cursor of " + meter.id + " does not read as a pylax cursor";
    return false;
  }
  cursor = cursor_;
  return true;
}

bool InfluxStore::Write(const std::string& lines, std::string* error) {
  const std::string path = "/write?db=" + PercentEncoded(settings_.database) + "&precision=s";
  const httplib::Result result =
      Send([&](httplib::Client& client) { return client.Post(path, lines, "text/plain; charset=utf-8"); });
  if (result && result->status == 204) return true;
  if (!result) {
    *error = Unreached(result.error());
    return false;
  }
  const nlohmann::json json = nlohmann::json::parse(result->body, nullptr, false);
  *error = "InfluxDB refused the write (HTTP " + std::to_string(result->status) + ")" +
           (json.is_object() && json.contains("error") ? ": " + json["error"].get<std::string>() : "");
  return false;
}

// The meter's points already archived over the batch's span, by instant and
// register, when the batch reaches back into what is archived (after a clock
// set back); none otherwise, at no cost.
bool InfluxStore::ArchivedAt(const ArchiveBatch& batch, std::string& existing, std::string* error) {
  existing.clear();
  if (!cursor_ || batch.entries.front().time > archivedNewest_) return true;
  const Response response =
      Query("SELECT \"register\", \"value\", \"error\", \"raw\" FROM " + std::string(kMeasurement) + kWhereMeter +
                QueryString(batch.meter->id) + " AND time >= " + std::to_string(batch.entries.front().time) +
                "s AND time <= " + std::to_string(batch.entries.back().time) + "s",
            false);
  if (!response.failure.empty()) {
    *error = response.reached ? "InfluxDB refused the query: " + response.failure : response.failure;
    return false;
  }
  existing = response.body;
  return true;
}

bool InfluxStore::Append(const ArchiveBatch& batch, StoreOutcome& outcome, std::string* error) {
  outcome = {};
  std::string existingBody;
  if (!ArchivedAt(batch, existingBody, error)) return false;
  const ArchivedPoints archived = PointsOf(existingBody);
  const bool sameRun = cursor_ && !batch.newRun;
  outcome.run = sameRun ? cursor_->run : cursor_ ? cursor_->run + 1 : 1;
  outcome.runFirst = sameRun ? cursor_->runFirst : 0;
  outcome.runLast = sameRun ? cursor_->runLast : 0;
  outcome.runEntries = sameRun ? cursor_->runEntries : 0;
  std::string lines;
  size_t lineCount = 0;
  time_t newest = archivedNewest_;
  for (const ArchiveEntry& entry : batch.entries) {
    if (const auto at = archived.find(entry.time); at != archived.end()) {
      ++(at->second == EntryPoints(batch.shape, entry) ? outcome.present : outcome.conflicts);
      continue;
    }
    const std::string entryLines = InfluxEntryLines(*batch.meter, batch.shape, entry);
    lineCount += static_cast<size_t>(std::count(entryLines.begin(), entryLines.end(), '\n'));
    lines += entryLines;
    if (lineCount >= kBatchLines) {
      if (!Write(lines, error)) return false;
      lines.clear();
      lineCount = 0;
    }
    ++outcome.added;
    outcome.runFirst = outcome.runEntries == 0 ? entry.time : std::min(outcome.runFirst, entry.time);
    outcome.runLast = std::max(outcome.runLast, entry.time);
    ++outcome.runEntries;
    newest = std::max(newest, entry.time);
  }
  if (batch.gap)
    lines += std::string(kGapMeasurement) + TagPair("meter", batch.meter->id) + " run=" + IntField(outcome.run) +
             ",after=" + IntField(batch.gap->after) + ",before=" + IntField(batch.gap->before) +
             ",entries=" + IntField(batch.gap->entries) + " " + std::to_string(static_cast<long long>(batch.gap->after)) + "\n";
  if (!lines.empty() && !Write(lines, error)) return false;
  // The cursor goes last, in a request of its own: it is there only once
  // every point before it was confirmed.
  SyncCursor cursor = batch.cursor;
  cursor.run = outcome.run;
  cursor.runFirst = outcome.runFirst;
  cursor.runLast = outcome.runLast;
  cursor.runEntries = outcome.runEntries;
  const long conflicts = (sameRun ? conflicts_ : 0) + outcome.conflicts;
  const std::string cursorLine = std::string(kCursorMeasurement) + TagPair("meter", batch.meter->id) +
                                 TagPair("identification", batch.meter->identification) + " " +
                                 CursorFields(cursor, conflicts, newest) + " " +
                                 std::to_string(static_cast<long long>(std::time(nullptr))) + "\n";
  if (!Write(cursorLine, error)) {
    outcome = {};
    return false;
  }
  cursor_ = cursor;
  conflicts_ = conflicts;
  archivedNewest_ = newest;
  return true;
}
