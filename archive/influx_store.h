#pragma once
// A site's time-series engine as an archive: InfluxDB 1.x's HTTP write API
// with line protocol (which InfluxDB 2 and 3 in their v1 compatibility,
// VictoriaMetrics and others take too).
//
// Points: measurement pylax_log; tags meter, model, register (the register
// number) and label (the CSV header's label, left out where it is empty);
// field value (a float) where the CSV has a number, error (integer) for the
// error word, raw (integer) for any other logged register (the date and
// time registers, a float half without its partner); the entry's time in
// seconds. Free slots give no point.
//
// InfluxDB has no cheap "newest archived" of its own, so the store keeps its
// cursor in the database beside the points: measurement pylax_log_sync,
// tags meter and identification, written only after every point of a sync
// was confirmed (HTTP 204). A sync that fails after some batches leaves
// points but no cursor; the next one sends them again, and the same point
// written twice is one point.

#include <functional>
#include <memory>
#include <string>

#include "archive/archive.h"
#include "util/stop_token.h"

namespace httplib {
class Client;
class Result;
enum class Error;
}  // namespace httplib

struct InfluxSettings {
  std::string host;
  int port = 8086;
  std::string database;
  bool tls = false;       // influxs://
  std::string caFile;     // influxs: the CA of the server's certificate; empty: the system's
  std::string user;       // empty: no authentication
  std::string password;
  const StopToken* stop = nullptr;  // asked to stop: the request under way ends at once
};

class InfluxStore : public ArchiveStore {
 public:
  // At most this many lines go in one write request.
  static constexpr size_t kBatchLines = 5000;

  InfluxStore(std::string url, InfluxSettings settings);
  ~InfluxStore() override;
  InfluxStore(const InfluxStore&) = delete;
  InfluxStore& operator=(const InfluxStore&) = delete;

  const std::string& Url() const override { return url_; }
  // Creates the database when it does not exist; refuses clearly where the
  // user may not.
  bool LoadCursor(const Meter& meter, std::optional<SyncCursor>& cursor, std::string* error) override;
  bool Append(const ArchiveBatch& batch, StoreOutcome& outcome, std::string* error) override;
  // Measurement pylax_readings (archive/influx_readings.cpp).
  bool AppendReadings(const Meter& meter, const std::vector<PolledReading>& readings, std::string* error) override;

 private:
  struct Response;
  // request on the client, stopped at its deadline or a stop request.
  httplib::Result Send(const std::function<httplib::Result(httplib::Client&)>& request);
  // Why a request got no answer: no connection, or none whole in time.
  std::string Unreached(httplib::Error error) const;
  bool StopAsked() const { return settings_.stop != nullptr && settings_.stop->Requested(); }
  Response Query(const std::string& statement, bool post);
  bool CreateDatabase(std::string* error);
  bool Write(const std::string& lines, std::string* error);
  bool ArchivedAt(const ArchiveBatch& batch, std::string& existing, std::string* error);

  std::string url_;
  InfluxSettings settings_;
  std::unique_ptr<httplib::Client> client_;
  std::optional<SyncCursor> cursor_;  // as loaded for the meter being synced
  long conflicts_ = 0;                // the run's conflicts so far
  bool late_ = false;                 // the last request was stopped at its deadline
  time_t archivedNewest_ = 0;         // the meter's newest instant archived, any run
};

// Line protocol: a tag value with its commas, blanks and equals signs
// escaped, and U+FFFD for each character InfluxDB or InfluxQL cannot carry
// (LF, CR, a backslash before an escaped character or at the end, bytes
// that are not UTF-8); a string field value quoted with its quotes and backslashes.
std::string InfluxTag(const std::string& value);
std::string TagPair(const std::string& name, const std::string& value);
std::string InfluxString(const std::string& value);
// The line of one polled reading: measurement pylax_readings, tags meter
// and model, fields kwh, kvah and kvarh (those polled) and after_gap.
std::string InfluxReadingLine(const Meter& meter, const PolledReading& reading);
// The lines of one entry's points.
std::string InfluxEntryLines(const Meter& meter, const LogRunShape& shape, const ArchiveEntry& entry);
