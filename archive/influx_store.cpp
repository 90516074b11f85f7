#include "archive/influx_store.h"

#include <httplib.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "archive/influx_answer.h"
#include "util/shown_text.h"
#include "bus/status_log.h"
#include "modbus/host_port.h"

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

constexpr const char* kTagSpecial = ", =";  // escaped in a tag value

// Text as a tag holds it and InfluxQL compares it, so that the cursor's
// query finds what its write stored. Each character neither can carry
// becomes U+FFFD: LF and CR (line protocol ends a line there, InfluxQL
// takes neither in a string), a backslash that ends a tag value or stands
// before an escaped character (InfluxDB 1.x reads no escaped backslash in a
// tag), and bytes that are not UTF-8.
std::string InfluxText(const std::string& text) {
  const std::string valid = ValidUtf8(text);
  std::string carried;
  for (size_t i = 0; i < valid.size(); ++i) {
    const char next = i + 1 < valid.size() ? valid[i + 1] : ' ';
    const bool escaping = valid[i] == '\\' && std::string(kTagSpecial).find(next) != std::string::npos;
    carried += valid[i] == '\n' || valid[i] == '\r' || escaping ? std::string("\xEF\xBF\xBD") : std::string(1, valid[i]);
  }
  return carried;
}

// InfluxQL string literal of a tag's text: 'text' with its quotes and
// backslashes escaped.
std::string QueryString(const std::string& text) { return "'" + Escaped(InfluxText(text), "'\\") + "'"; }

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

// A float as its shortest decimal text that reads back as the same float
// (3.61, as the window, /metrics and the state object show it).
std::string FloatField(float value) {
  char text[32];
  return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

std::string IntField(long long value) { return std::to_string(value) + "i"; }

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

}  // namespace

std::string InfluxTag(const std::string& value) { return Escaped(InfluxText(value), kTagSpecial); }

// ",name=value"; nothing for an empty value, which line protocol does not
// take (InfluxQL compares a missing tag equal to '').
std::string TagPair(const std::string& name, const std::string& value) {
  return value.empty() ? "" : "," + name + "=" + InfluxTag(value);
}

std::string InfluxString(const std::string& value) { return "\"" + Escaped(value, "\"\\") + "\""; }

std::string InfluxEntryLines(const Meter& meter, const LogRunShape& shape, const ArchiveEntry& entry) {
  std::string lines;
  for (int slot = 0; slot < reg::kSlotCount; ++slot) {
    const unsigned number = shape.slots[slot];
    if (number == 0) continue;  // a free slot
    const std::string field = FieldText(PointOf(number, entry, slot), entry, slot);
    const std::string label = RegisterLabel(number);
    lines += std::string(kMeasurement) + TagPair("meter", MeterId(meter)) + TagPair("model", ModelName(meter.model)) +
             TagPair("register", std::to_string(number)) + TagPair("label", label) + " " + field + " " +
             std::to_string(static_cast<long long>(entry.time)) + "\n";
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
  client_ = std::make_unique<httplib::Client>(std::string(settings_.tls ? "https" : "http") + "://" +
                                              JoinHostPort(settings_.host, std::to_string(settings_.port)));
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
// asked to stop (InfluxSettings::stop).
httplib::Result InfluxStore::Send(const std::function<httplib::Result(httplib::Client&)>& request) {
  std::mutex mutex;
  std::condition_variable answered;
  bool done = false;
  late_ = false;
  std::thread watch([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kRequestDeadlineS);
    std::unique_lock<std::mutex> hold(mutex);
    while (!done && !StopAsked() && std::chrono::steady_clock::now() < deadline)
      answered.wait_for(hold, std::chrono::milliseconds(50));
    if (done) return;
    late_ = !StopAsked();
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
  response.failure = InfluxError(result->body);
  if (response.failure.empty() && result->status != 200)
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

bool InfluxStore::LoadCursor(const Meter& meter, std::optional<SyncCursor>& cursor, std::string* error) {
  cursor.reset();
  cursor_.reset();
  conflicts_ = 0;
  archivedNewest_ = 0;
  const Response response =
      Query(std::string("SELECT * FROM ") + kCursorMeasurement + kWhereMeter + QueryString(MeterId(meter)) +
                " AND \"identification\" = " + QueryString(meter.identification) + " ORDER BY time DESC LIMIT 1",
            false);
  if (response.failure.rfind("database not found", 0) == 0) return CreateDatabase(error);
  if (!response.failure.empty()) {
    *error = response.reached ? "InfluxDB refused the query: " + response.failure : response.failure;
    return false;
  }
  std::optional<InfluxCursor> read;
  if (!ReadInfluxCursor(response.body, read)) {
    *error = "InfluxDB's cursor of " + MeterId(meter) + " does not read as a pylax cursor";
    return false;
  }
  if (!read) return true;
  cursor_ = read->cursor;
  conflicts_ = read->conflicts;
  archivedNewest_ = read->archivedNewest;
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
  const std::string said = InfluxError(result->body);
  *error = "InfluxDB refused the write (HTTP " + std::to_string(result->status) + ")" + (said.empty() ? "" : ": " + said);
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
                QueryString(MeterId(*batch.meter)) + " AND time >= " + std::to_string(batch.entries.front().time) +
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
  ArchivedPoints archived;
  if (!ReadInfluxPoints(existingBody, archived)) {
    *error = "InfluxDB's answer of the points archived does not read as points";
    return false;
  }
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
    lines += std::string(kGapMeasurement) + TagPair("meter", MeterId(*batch.meter)) + " run=" + IntField(outcome.run) +
             ",after=" + IntField(batch.gap->after) + ",before=" + IntField(batch.gap->before) +
             ",entries=" + IntField(batch.gap->entries) + " " +
             std::to_string(static_cast<long long>(batch.gap->after)) + "\n";
  if (!lines.empty() && !Write(lines, error)) return false;
  // The cursor goes last, in a request of its own: it is there only once
  // every point before it was confirmed.
  SyncCursor cursor = batch.cursor;
  cursor.run = outcome.run;
  cursor.runFirst = outcome.runFirst;
  cursor.runLast = outcome.runLast;
  cursor.runEntries = outcome.runEntries;
  const long conflicts = (sameRun ? conflicts_ : 0) + outcome.conflicts;
  const std::string cursorLine = std::string(kCursorMeasurement) + TagPair("meter", MeterId(*batch.meter)) +
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
