// pylaxctl: the meter job from the command line, on the same core as the
// console and the logging window.

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "archive/archive_url.h"
#include "archive/export.h"
#include "archive/report.h"
#include "archive/sync.h"
#include "cli/options.h"
#include "util/replacement_file.h"
#include "util/shown_text.h"
#include "sim/sim_launcher.h"
#include "cli/stderr_log.h"
#include "bus/commands.h"
#include "meter/meter_state.h"
#include "util/stop_token.h"
#include "bus/poll.h"
#include "bus/poll_json.h"
#include "bus/scan.h"
#include "bus/download.h"
#include "bus/logging_start.h"
#include "bus/write_failure.h"
#include "meter/reading_format.h"
#include "meter/register_map.h"
#include "modbus/link.h"
#include "modbus/model.h"
#include "monitor/bus_monitor.h"
#include "monitor/http_listener.h"
#include "monitor/log_keeper.h"
#include "monitor/meter_id.h"
#include "monitor/mqtt_publisher.h"
#include "modbus/bus_owner.h"
#include "modbus/gateway.h"
#include "modbus/host_port.h"
#include "modbus/port_map.h"
#include "monitor/modbus_gateway.h"
#include "monitor/prometheus.h"
#include "monitor/readings_keeper.h"
#include "web/web_publisher.h"

namespace {
constexpr unsigned kDefaultScanStart = 1;
constexpr unsigned kDefaultScanEnd = 10;
constexpr auto kPollPeriod = std::chrono::seconds(1);

// What the signal handlers ask of the run. Ctrl+C or SIGTERM stops every
// command before its next transaction (a download or logging start at its
// next safe point, so the meter is not left with a slot selected), the
// monitor after the meter it is polling; SIGHUP has the monitor scan again.
struct SignalRequests {
  StopToken stop;
  std::atomic<bool> rescan{false};
};
static_assert(std::atomic<bool>::is_always_lock_free);

// main's requests, for its handlers: a handler takes no argument.
SignalRequests* signalRequests = nullptr;

void OnInterrupt(int signal) { signalRequests->stop.Request(signal); }

void OnHangUp(int) { signalRequests->rescan.store(true); }

int Exit(ExitCode code) { return static_cast<int>(code); }

int Fail(ExitCode code, const std::string& message) {
  std::fprintf(stderr, "pylaxctl: %s\n", TerminalText(message).c_str());
  return Exit(code);
}

// A write refused by the Modbus TCP gateway the link reaches the meters
// through has its own exit status, which a script can act on.
ExitCode WriteFailed(const ModbusLink& link, ModbusResult result, ExitCode otherwise) {
  return GatewayRefusedWrite(link, result) ? ExitCode::GatewayRefused : otherwise;
}

std::string MeterName(const Meter& meter) {
  char name[16];
  std::snprintf(name, sizeof name, "%02d", meter.address);
  return name;
}

// --trace: each transaction's entry of the trace ring of pylaxctl's link,
// "Send->" and "Recv->" lines, as soon as the response is in.
void PrintTraceEntry(void* ring) {
  for (const char* c = static_cast<const TraceRing*>(ring)->OldestFirst(kTraceEntries - 1); *c != '\0'; ++c)
    if (*c != '\r') std::fputc(*c, stderr);
}

// A command stopped before its work was done. A download or a logging start
// that has begun says so in its own log and ends as when it fails; these
// end so too when stopped before they began.
int Stopped(const Options& options, const StopToken& stop) {
  const ExitCode code = options.command == Command::LogDownload ? ExitCode::DownloadFailed
                        : options.command == Command::LogStart  ? ExitCode::LoggingNotStarted
                                                                : ExitCode::Stopped;
  return Fail(code, std::string("stopped by ") + (stop.Reason() == SIGTERM ? "SIGTERM" : "SIGINT"));
}

// Scan sinks end the scan before the next address once a stop is asked for
// (a scan of 10 to 255 with no meter takes three minutes). pylaxctl scan
// prints the entries; picking a meter stays quiet and ends at the first
// meter, the one it picks.
class StoppableScan : public ScanSink {
 public:
  explicit StoppableScan(const StopToken& stop) : stop_(stop) {}
  void Progress(const std::string&) override {}
  bool Cancelled() const override {
    stopped_ = stop_.Requested();
    return stopped_;
  }
  // True when the stop cut the scan short, rather than arriving after it.
  bool Stopped() const { return stopped_; }

 private:
  const StopToken& stop_;
  mutable bool stopped_ = false;
};

class PrintingScan : public StoppableScan {
 public:
  using StoppableScan::StoppableScan;
  void MeterFound(const Meter& meter, bool) override { std::printf("%s\n", TerminalText(DeviceLine(meter)).c_str()); }
};

class QuietScan : public StoppableScan {
 public:
  using StoppableScan::StoppableScan;
  void MeterFound(const Meter&, bool) override {}
  bool StopAtFirstMeter() const override { return true; }
};

int OpenLine(ModbusLink& link, const Options& options) {
  if (link.Open(options.port, options.baud)) {
    if (options.trace && !link.PortNote().empty()) std::fprintf(stderr, "port: %s\n", link.PortNote().c_str());
    return Exit(ExitCode::Success);
  }
  std::string name = options.port;
  if (name.empty() || name.back() != ':') name += ":";
  return Fail(ExitCode::PortUnavailable, "Unable to open " + name + " " + link.OpenFailureText());
}

// The meter the command talks to: the one at --slave, identified as the scan
// identifies it, or the first one that a scan of 1 to 10 finds, as the
// console picks it.
int PickMeter(ModbusLink& link, const Options& options, const StopToken& stop, Meter& meter) {
  if (options.slave < 0) {
    QuietScan sink(stop);
    if (ScanBus(link, kDefaultScanStart, kDefaultScanEnd, sink, meter) == 0 && !sink.Stopped())
      return Fail(ExitCode::NoMeter, "no meter answered at addresses 1 to 10");
    return Exit(ExitCode::Success);
  }
  const ModbusResult result = IdentifyMeter(link, options.slave, meter);
  if (result != ResultOk)
    return Fail(ExitCode::NoMeter, "no meter identified at address " + std::to_string(options.slave) + ": " +
                                       ResultText(result));
  return Exit(ExitCode::Success);
}

int RequireModel(const Meter& meter, bool acceptable, const char* needed) {
  if (acceptable) return Exit(ExitCode::Success);
  const std::string model = meter.model == ModelNone ? "of no known model" : std::string("a ") + ModelName(meter.model);
  return Fail(ExitCode::WrongModel,
              std::string("this command needs ") + needed + "; the meter at address " + MeterName(meter) + " is " + model);
}

int RunScan(ModbusLink& link, const Options& options, const StopToken& stop) {
  PrintingScan sink(stop);
  Meter first;  // the scan prints every meter it finds and picks none
  const int found = ScanBus(link, options.scanStart, options.scanEnd, sink, first);
  if (sink.Stopped()) return Stopped(options, stop);
  if (found == 0)
    return Fail(ExitCode::NoMeter, "no meter answered at addresses " + std::to_string(options.scanStart) + " to " +
                                       std::to_string(std::min(options.scanEnd, kLastScanAddress)));
  return Exit(ExitCode::Success);
}

void PrintReadingsText(const PollFields& fields) {
  for (int pair = 0; pair < fields.pairsRead; ++pair)
    if (!PairLabel(pair).empty())
      std::printf("%-17s %s\n", PairLabel(pair).c_str(), FormatReading(fields.pairs[pair]).c_str());
  for (const NamedText& status : StatusTexts(fields))
    if (status.text->has_value()) std::printf("%-17s %s\n", status.key, status.text->value().c_str());
}

// One poll; prints what was read and, when a read failed, the failure.
bool PollAndPrint(ModbusLink& link, const Meter& meter, const Options& options) {
  PollState poll;
  PollFields fields;
  PollMeter(link, meter, poll, fields);
  if (options.json)
    std::printf("%s\n", JsonObject(ReadingMembers(fields)).c_str());
  else
    PrintReadingsText(fields);
  std::fflush(stdout);
  if (fields.lastFailure == ResultOk) return true;
  std::fprintf(stderr, "pylaxctl: reading the meter at address %s: %s\n", MeterName(meter).c_str(),
               ResultText(fields.lastFailure));
  return false;
}

// A poll (up to three reads) is one unit: a stop asked for during it lets
// it finish and print, so a reading is never printed in part. A watch ends
// at the stop as it always has, with the status of its last poll.
int RunRead(ModbusLink& link, const Meter& meter, const Options& options, const StopToken& stop) {
  if (int code = RequireModel(meter, meter.model != ModelNone, "a QM4A, QM4B or QM4C")) return code;
  if (!options.watch) return Exit(PollAndPrint(link, meter, options) ? ExitCode::Success : ExitCode::TransactionFailed);
  bool ok = true;
  bool lossSaid = false;
  auto next = std::chrono::steady_clock::now();
  for (long polls = 0; !stop.Requested() && (options.count == 0 || polls < options.count); ++polls) {
    if (polls > 0 && !options.json) std::printf("\n");
    ok = PollAndPrint(link, meter, options);
    // A device gone ends the watch; a gateway's lost connection is said once
    // and tried again at the next poll, until it is back.
    if (link.DeviceGone() && !link.Reconnects()) break;
    if (link.DeviceGone() && !lossSaid) std::fprintf(stderr, "pylaxctl: %s\n", link.GoneText().c_str());
    lossSaid = link.DeviceGone();
    next += kPollPeriod;
    if (options.count != 0 && polls + 1 == options.count) break;
    while (!stop.Requested() && std::chrono::steady_clock::now() < next)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return Exit(ok ? ExitCode::Success : ExitCode::TransactionFailed);
}

int RunResetEnergy(ModbusLink& link, const Meter& meter) {
  if (int code = RequireModel(meter, meter.model != ModelNone, "a QM4A, QM4B or QM4C")) return code;
  const ModbusResult result = ResetEnergy(link, meter);
  if (result != ResultOk)
    return Fail(WriteFailed(link, result, ExitCode::TransactionFailed),
                std::string("Reset kWH: ") + WriteFailureText(link, result));
  std::printf("kWh of the meter at address %s reset\n", MeterName(meter).c_str());
  return Exit(ExitCode::Success);
}

// The three writes are one setting and go out together even when a stop is
// asked for between them (at most about 2 s on a meter that no longer
// answers): a clock left with the new date and the old time would stamp
// every log entry wrongly.
int RunSetClock(ModbusLink& link, const Meter& meter) {
  if (int code = RequireModel(meter, meter.model == ModelQM4C, "a QM4C")) return code;
  const time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  const ModbusResult result = SetClockFrom(link, meter, local);
  if (result != ResultOk)
    return Fail(WriteFailed(link, result, ExitCode::TransactionFailed),
                std::string("Set Clock: ") + WriteFailureText(link, result));
  int registers[3];
  PackMeterTime(local, registers);
  char text[48];
  FormatMeterTime(registers[0], registers[1], registers[2], text, sizeof text);
  std::printf("clock of the meter at address %s set to %s\n", MeterName(meter).c_str(), text);
  return Exit(ExitCode::Success);
}

int RunLogShow(ModbusLink& link, const Meter& meter, const Options& options, const StopToken& stop) {
  if (int code = RequireModel(meter, meter.model == ModelQM4C, "a QM4C")) return code;
  LogSetup setup;
  if (!ReadLogSlots(link, meter, setup)) return Fail(ExitCode::TransactionFailed, "reading the logging slots failed");
  if (stop.Requested()) return Stopped(options, stop);
  // The sub-interval is what a poll reads, as the logging window shows what
  // the console's poll last read.
  PollState poll;
  PollFields fields;
  PollMeter(link, meter, poll, fields);
  if (!fields.subInterval) return Fail(ExitCode::TransactionFailed, std::string("reading the sub-interval: ") +
                                                                          ResultText(fields.lastFailure));
  const LoggingSettings settings = CurrentLoggingSettings(poll.subIntervalSeconds, setup);
  for (int slot = 0; slot < reg::kSlotCount; ++slot)
    std::printf("slot %2d  %5u  %s\n", slot + 1, settings.slots[slot], RegisterLabel(settings.slots[slot]));
  std::printf("sub-interval  %u s\n", settings.subInterval);
  return Exit(ExitCode::Success);
}

int RunLogStart(ModbusLink& link, const Meter& meter, const Options& options, const StopToken& stop) {
  if (int code = RequireModel(meter, meter.model == ModelQM4C, "a QM4C")) return code;
  LoggingSettings settings;
  for (size_t slot = 0; slot < options.slots.size(); ++slot) settings.slots[slot] = options.slots[slot];
  settings.subInterval = static_cast<unsigned>(options.interval);
  settings.method = options.oneShot ? 1 : 0;
  StderrLog log(false, stop);
  LogSetup setup;
  if (StartLogging(link, meter, settings, setup, log)) return Exit(ExitCode::Success);
  return Exit(WriteFailed(link, ResultException, ExitCode::LoggingNotStarted));
}

int RunLogDownload(ModbusLink& link, const Meter& meter, const StopToken& stop) {
  if (int code = RequireModel(meter, meter.model == ModelQM4C, "a QM4C")) return code;
  StderrLog log(isatty(STDERR_FILENO) == 1, stop);
  const bool written = DownloadLoggedData(link, meter, log);
  log.Finish();
  return Exit(written ? ExitCode::Success : WriteFailed(link, ResultException, ExitCode::DownloadFailed));
}

std::vector<std::string> ArchiveUrls(const ArchiveOptions& archive) {
  return archive.urls.empty() ? std::vector<std::string>{DefaultArchiveUrl()} : archive.urls;
}

// The InfluxDB user as for MQTT; the password as the command line's
// parsing read it, never from the command line itself.
ArchiveAccess AccessOf(const ArchiveOptions& archive, const StopToken& stop) {
  ArchiveAccess access;
  access.stop = &stop;
  access.influxCaFile = archive.influxCaFile;
  access.influxUser = archive.influxUser;
  if (const char* user = std::getenv("PYLAX_INFLUX_USER"); access.influxUser.empty() && user != nullptr)
    access.influxUser = user;
  access.influxPassword = archive.influxPassword;
  return access;
}

// --bus-id, else the id the port's name gives on this machine: the monitor
// and log sync name a bus's meters alike.
std::string BusIdOf(const Options& options) {
  return options.busId.empty() ? BusId(options.port, HostName()) : options.busId;
}

// log sync says nothing of its reading but a wait for a busy meter.
class WaitSayingSyncLog : public SyncStatusLog {
 public:
  using SyncStatusLog::SyncStatusLog;
  void Waiting(const std::string& message) override { std::fprintf(stderr, "pylaxctl: %s\n", message.c_str()); }
};

// Each archive is synced on its own: one that cannot be opened or written
// is said, and the others still take their entries.
int RunLogSync(ModbusLink& link, Meter meter, const Options& options, const StopToken& stop) {
  if (int code = RequireModel(meter, meter.model == ModelQM4C, "a QM4C")) return code;
  meter.busId = BusIdOf(options);
  bool allOpened = true;
  std::vector<std::unique_ptr<ArchiveStore>> opened;
  std::vector<ArchiveStore*> stores;
  for (const std::string& url : ArchiveUrls(options.archive)) {
    std::string error;
    opened.push_back(OpenArchive(url, AccessOf(options.archive, stop), &error));
    if (opened.back()) stores.push_back(opened.back().get());
    allOpened = allOpened && opened.back() != nullptr;
    if (!error.empty()) std::fprintf(stderr, "pylaxctl: %s\n", error.c_str());
  }
  WaitSayingSyncLog log(&stop);
  const SyncResult result = SyncMeterLog(link, meter, stores, log);
  if (!result.meterRead && stop.Requested()) return Stopped(options, stop);
  if (!result.meterRead && GatewayRefusedWrite(link, ResultException))
    return Fail(ExitCode::GatewayRefused,
                MeterId(meter) + ": " + WriteFailureText(link, ResultException) + "; nothing archived");
  if (!result.meterRead)
    return Fail(ExitCode::TransactionFailed, MeterId(meter) + ": " + result.failure + "; nothing archived");
  for (const ArchiveSyncReport& report : result.archives)
    for (const std::string& line : SyncReportLines(meter, report))
      std::fprintf(report.ok ? stdout : stderr, "%s\n", TerminalText(line).c_str());
  return Exit(allOpened && result.AllArchived() ? ExitCode::Success : ExitCode::ArchiveFailed);
}

std::unique_ptr<SqliteStore> ReadableArchive(const ArchiveOptions& archive, std::string* error) {
  return OpenArchiveForReading(ArchiveUrls(archive).back(), error);
}

int RunArchiveList(const Options& options) {
  std::string error;
  const std::unique_ptr<SqliteStore> store = ReadableArchive(options.archive, &error);
  std::vector<ArchivedMeterRuns> meters;
  if (!store || !store->ListMeters(meters, &error) || !store->ReadingsSpans(meters, &error))
    return Fail(ExitCode::ArchiveFailed, error);
  if (meters.empty()) return Fail(ExitCode::NothingArchived, store->Url() + " holds no meter");
  for (const std::string& line : ArchiveListLines(meters)) std::printf("%s\n", TerminalText(line).c_str());
  return Exit(ExitCode::Success);
}

bool ParseSpan(const ArchiveOptions& archive, ExportRequest& request, std::string* error) {
  if (!archive.from.empty() && !ParseArchiveTime(archive.from, request.from)) *error = "--from " + archive.from;
  if (!archive.to.empty() && !ParseArchiveTime(archive.to, request.to)) *error = "--to " + archive.to;
  if (!error->empty()) *error += " is not a time such as 2026-12-07, 2026-12-07T12:49 or 2026-12-07T12:49:28Z";
  return error->empty();
}

// What the export left to say: which run, what else the span holds.
void SayExport(const ExportOutcome& outcome, const std::string& where) {
  std::fprintf(stderr, "pylaxctl: log run %d of %s: %ld rows, %ld with an entry, to %s\n", outcome.run,
               MeterId(outcome.meter).c_str(), outcome.rows, outcome.entries, where.c_str());
  for (int run : outcome.otherRuns)
    std::fprintf(stderr, "pylaxctl: log run %d also has entries in the span (--run %d)\n", run, run);
  if (outcome.offGrid > 0)
    std::fprintf(stderr,
                 "pylaxctl: %ld entries off the newest entry's sub-interval grid were left out (the meter's clock was "
                 "set during the run); a --to before them exports them\n",
                 outcome.offGrid);
}

int RunArchiveExport(const Options& options) {
  std::string error;
  ExportRequest request;
  request.meter = options.archive.meter;
  request.run = options.archive.run;
  if (!ParseSpan(options.archive, request, &error)) return Fail(ExitCode::Usage, error);
  const std::unique_ptr<SqliteStore> store = ReadableArchive(options.archive, &error);
  if (!store) return Fail(ExitCode::ArchiveFailed, error);
  ExportOutcome outcome;
  if (!PlanExport(*store, request, outcome, &error)) return Fail(ExitCode::NothingArchived, error);
  if (options.archive.output == "-") {
    if (!WriteExport(*store, request, stdout, outcome, &error)) return Fail(ExitCode::ArchiveFailed, error);
    SayExport(outcome, "stdout");
    return Exit(ExitCode::Success);
  }
  const std::string name = options.archive.output.empty() ? DataFileName(outcome.meter.address) : options.archive.output;
  ReplacementFile file(name);
  if (!file.Open()) return Fail(ExitCode::ArchiveFailed, "cannot write " + name);
  if (!WriteExport(*store, request, file.Stream(), outcome, &error)) return Fail(ExitCode::ArchiveFailed, error);
  if (!file.Commit()) return Fail(ExitCode::ArchiveFailed, "cannot write " + name);
  SayExport(outcome, name);
  return Exit(ExitCode::Success);
}

// Local days or instants, the last full month where neither is given.
bool ParseReportSpan(const ArchiveOptions& archive, ReportRequest& request, std::string* error) {
  if (!ParsePeriodKind(archive.by, request.by)) *error = "--by " + archive.by;
  time_t monthFrom = 0, monthTo = 0;
  LastFullMonth(std::time(nullptr), monthFrom, monthTo);
  request.from = monthFrom;
  request.to = archive.from.empty() ? monthTo : std::time(nullptr);
  if (!archive.from.empty() && !ParseArchiveTime(archive.from, request.from)) *error = "--from " + archive.from;
  if (!archive.to.empty() && !ParseArchiveTime(archive.to, request.to)) *error = "--to " + archive.to;
  if (!archive.to.empty() && archive.from.empty()) request.from = PeriodAfter(PeriodKind::Month, request.to, -1);
  if (!error->empty()) {
    *error += ": not a time of the forms 2026-12-07, 2026-12-07T12:49[:28] (local) or ...Z (UTC)";
    return false;
  }
  if (request.from < request.to) return true;
  *error = "--from " + archive.from + " is not before " + (archive.to.empty() ? "now" : "--to " + archive.to);
  return false;
}

int RunArchiveReport(const Options& options) {
  std::string error;
  ReportRequest request;
  request.meter = options.archive.meter;
  if (!ParseReportSpan(options.archive, request, &error)) return Fail(ExitCode::Usage, error);
  const std::unique_ptr<SqliteStore> store = ReadableArchive(options.archive, &error);
  if (!store) return Fail(ExitCode::ArchiveFailed, error);
  std::vector<MeterReport> meters;
  if (!BuildReport(*store, request, meters, &error)) return Fail(ExitCode::NothingArchived, error);
  if (options.archive.csv)
    std::fputs(ReportCsv(meters).c_str(), stdout);
  else if (options.archive.json)
    std::fputs(ReportJson(meters).c_str(), stdout);
  else
    for (const std::string& line : ReportTable(meters)) std::printf("%s\n", line.c_str());
  return Exit(ExitCode::Success);
}

// --archive-readings: every meter's counters into the monitor's archives,
// each opened once more for them.
std::unique_ptr<ReadingsKeeper> OpenReadingsKeeper(ModbusLink& link, const Options& options, const StopToken& stop,
                                                   std::string* error) {
  std::vector<std::unique_ptr<ArchiveStore>> stores;
  for (const std::string& url : options.archive.urls) {
    stores.push_back(OpenArchive(url, AccessOf(options.archive, stop), error));
    if (!stores.back()) return nullptr;
  }
  return std::make_unique<ReadingsKeeper>(link, std::move(stores), options.monitor.archiveReadingsMinutes);
}

// The page's consumption reads the first SQLite archive.
std::string FirstSqliteArchive(const std::vector<std::string>& urls) {
  for (const std::string& url : urls)
    if (url.rfind("sqlite:", 0) == 0) return url;
  return "";
}

// The monitor's archives, each opened once at start and kept.
std::unique_ptr<LogKeeper> OpenLogKeeper(const Options& options, const StopToken& stop, std::string* error) {
  std::vector<std::unique_ptr<ArchiveStore>> stores;
  for (const std::string& url : options.archive.urls) {
    stores.push_back(OpenArchive(url, AccessOf(options.archive, stop), error));
    if (!stores.back()) return nullptr;
  }
  return std::make_unique<LogKeeper>(std::move(stores), options.monitor.archiveEveryMinutes);
}

// The monitor's HTTP listeners: /metrics and the page, on one listener when
// --prometheus and --http name the same address. The page's streams end
// before the listeners stop (a stop waits for them), on every path.
class HttpServing {
 public:
  ~HttpServing() {
    if (web_ != nullptr) web_->Close();
    listeners_.clear();
  }
  bool Start(const MonitorOptions& monitor, PrometheusExporter& prometheus, WebPublisher* web, std::string* error) {
    web_ = web;
    HttpListener* metrics = nullptr;
    if (!monitor.prometheus.empty()) {
      const bool both = web != nullptr && HttpListener::SameAddress(monitor.prometheus, monitor.http);
      metrics = Add();
      if (!metrics->Bind(monitor.prometheus, "--prometheus", both ? "/metrics and the page" : "/metrics", error))
        return false;
      prometheus.Serve(metrics->Server());
      // Beside the page, the page's password guards it; alone it has none.
      if (!both && !metrics->OnLoopback())
        Say("/metrics is served at " + monitor.prometheus + " beyond the loopback; it has no password: keep this "
            "port behind a firewall");
    }
    if (web != nullptr) {
      HttpListener* page =
          metrics != nullptr && HttpListener::SameAddress(monitor.prometheus, monitor.http) ? metrics : Add();
      if (page != metrics && !page->Bind(monitor.http, "--http", "the page", error)) return false;
      web->Serve(*page, WebAccess{monitor.httpPassword});
      if (!page->OnLoopback() && monitor.httpPassword.empty())
        std::fprintf(stderr, "pylaxctl: the page at %s is served beyond the loopback without a password "
                     "(--http-password-file): whoever reaches the address reads the meters\n", monitor.http.c_str());
      pageListener_ = page;
    }
    for (const auto& listener : listeners_)
      listener->Start(listener.get() == pageListener_ ? WebPublisher::kMaxEventStreams + kRequestThreads : kRequestThreads);
    return true;
  }

 private:
  // Threads for requests other than event streams, as httplib's default.
  static constexpr int kRequestThreads = 8;
  HttpListener* Add() { return listeners_.emplace_back(std::make_unique<HttpListener>()).get(); }
  WebPublisher* web_ = nullptr;
  HttpListener* pageListener_ = nullptr;
  std::vector<std::unique_ptr<HttpListener>> listeners_;
};

// Modbus TCP has no authentication: beyond the loopback anyone who reaches
// the port reads the meters (and, with writes on, sets them).
void SayGatewayServed(const ModbusGateway& gateway, const GatewaySettings& settings) {
  HostPort where;
  std::string ignored;
  const bool local = ParseHostPort(gateway.Address(), &where, &ignored) && IsLoopbackHost(where.host);
  Say("gateway: the bus is served to other masters at mbtcp://" + gateway.Address() +
      (settings.writes ? " (writes on)" : " (reads only; --gateway-writes for writes)") +
      (local ? "" : "; Modbus TCP has no authentication: keep this port behind a firewall"));
}

// The monitor opens the port itself: one that is missing at start is waited
// for like one that goes away later. Its publishers start first, so that a
// bad address or URL fails at once.
int RunMonitor(ModbusLink& link, const Options& options, SignalRequests& requests) {
  const std::string bus = BusIdOf(options);
  BusMonitor monitor(link, options.monitor, options.port, options.baud, bus, requests.stop, requests.rescan);
  std::string error;
  std::unique_ptr<LogKeeper> keeper;
  if (!options.archive.urls.empty()) {
    keeper = OpenLogKeeper(options, requests.stop, &error);
    if (!keeper) return Fail(ExitCode::ArchiveFailed, error);
    monitor.KeepLogs(keeper.get());
  }
  std::unique_ptr<ReadingsKeeper> readings;
  if (!options.archive.urls.empty() && options.monitor.archiveReadingsMinutes > 0) {
    readings = OpenReadingsKeeper(link, options, requests.stop, &error);
    if (!readings) return Fail(ExitCode::ArchiveFailed, error);
    monitor.AddPublisher(readings.get());
  }
  PrometheusExporter prometheus(monitor.Tally());
  // What the page (with a password) and Home Assistant's buttons ask, run by
  // the monitor between rounds.
  ActionQueue actions(Say);
  std::unique_ptr<WebPublisher> web;
  if (!options.monitor.http.empty()) {
    web = std::make_unique<WebPublisher>(
        WebBus{options.port, options.baud, FramingName(options.link.framing), options.monitor.interval},
        keeper != nullptr, monitor.Tally());
    web->ShowConsumption(FirstSqliteArchive(options.archive.urls));
    if (!options.monitor.httpPassword.empty()) {
      web->TakeActions(&actions);
      monitor.TakeActions(&actions);
    }
  }
  HttpServing serving;
  if (!serving.Start(options.monitor, prometheus, web.get(), &error)) return Fail(ExitCode::MonitorFailed, error);
  std::unique_ptr<ModbusGateway> gateway;
  if (!options.monitor.gateway.address.empty()) {
    gateway = std::make_unique<ModbusGateway>(link, options.monitor.gateway, Say, &requests.stop);
    if (!gateway->Start(&error)) return Fail(ExitCode::MonitorFailed, "--gateway: " + error);
    monitor.ServeGateway(gateway.get());
    SayGatewayServed(*gateway, options.monitor.gateway);
  }
  if (!options.monitor.prometheus.empty()) monitor.AddPublisher(&prometheus);
  if (web) monitor.AddPublisher(web.get());
  std::unique_ptr<MqttPublisher> mqtt;
  if (!options.monitor.mqtt.url.empty()) {
    MqttSettings mqttSettings = options.monitor.mqtt;
    mqttSettings.clockDrift = options.monitor.keepClockSeconds > 0 || mqttSettings.commands;
    mqtt = std::make_unique<MqttPublisher>(mqttSettings, bus);
    if (options.monitor.mqtt.commands) {
      mqtt->TakeCommands(&actions, keeper != nullptr);
      monitor.TakeActions(&actions);
    }
    if (!mqtt->Start(&error)) return Fail(ExitCode::MonitorFailed, error);
    monitor.AddPublisher(mqtt.get());
  }
  std::unique_ptr<JsonLinesPublisher> lines;
  if (options.monitor.json) {
    lines = std::make_unique<JsonLinesPublisher>(STDOUT_FILENO);
    monitor.AddPublisher(lines.get());
  }
  std::signal(SIGHUP, OnHangUp);
  std::signal(SIGPIPE, SIG_IGN);  // a broker or scraper that went away is no reason to end
  const std::string device = options.ports.Resolve(options.port);
  const bool announced = TransportOf(device) == Transport::Serial &&
                         AnnounceBusOwner(device, gateway ? gateway->ReachableAddress() : "");
  monitor.Run();
  if (announced) WithdrawBusOwner(device);
  return Exit(ExitCode::Success);
}

int RunCommandOnLine(ModbusLink& link, const Options& options, const StopToken& stop) {
  if (options.command == Command::Scan) return RunScan(link, options, stop);
  Meter meter;
  if (int code = PickMeter(link, options, stop, meter)) return code;
  if (stop.Requested()) return Stopped(options, stop);
  switch (options.command) {
    case Command::Read:
      return RunRead(link, meter, options, stop);
    case Command::ResetEnergy:
      return RunResetEnergy(link, meter);
    case Command::SetClock:
      return RunSetClock(link, meter);
    case Command::LogShow:
      return RunLogShow(link, meter, options, stop);
    case Command::LogStart:
      return RunLogStart(link, meter, options, stop);
    case Command::LogDownload:
      return RunLogDownload(link, meter, stop);
    case Command::LogSync:
      return RunLogSync(link, meter, options, stop);
    case Command::Scan:
    case Command::Monitor:
    case Command::ArchiveList:
    case Command::ArchiveExport:
    case Command::ArchiveReport:
      break;
  }
  return Exit(ExitCode::Success);
}

// A device that went away mid-command (adapter pulled, simulator ended) is
// said once, by name, rather than left to look like a silent meter (a watch
// of a gateway has said it already).
int RunCommand(ModbusLink& link, const Options& options, SignalRequests& requests) {
  if (options.command == Command::Monitor) return RunMonitor(link, options, requests);
  if (options.command == Command::ArchiveList) return RunArchiveList(options);
  if (options.command == Command::ArchiveExport) return RunArchiveExport(options);
  if (options.command == Command::ArchiveReport) return RunArchiveReport(options);
  if (int code = OpenLine(link, options)) return code;
  const int code = RunCommandOnLine(link, options, requests.stop);
  if (code != 0 && link.DeviceGone() && !(options.watch && link.Reconnects()))
    return Fail(ExitCode::PortUnavailable, link.GoneText());
  if (code != 0 && !link.LineFault().empty()) std::fprintf(stderr, "pylaxctl: %s\n", link.LineFault().c_str());
  return code;
}
}  // namespace

int main(int argc, char** argv) {
  Options options;
  const ParseOutcome parsed = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), options);
  if (!parsed.run) return Exit(parsed.exit);
  static SignalRequests requests;  // outlives every handler call
  signalRequests = &requests;
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  SimLauncher simulator;
  if (options.simulate) {
    std::string error;
    if (!StartSimulatedCom1(simulator, options.ports, &error)) return Fail(ExitCode::SimulatorFailed, error);
  }
  ModbusLink link(options.link, &options.ports);
  if (options.trace) {
    std::fprintf(stderr, "framing: %s\n", FramingName(options.link.framing));
    if (options.link.line.echo) std::fprintf(stderr, "echo: read back and checked\n");
    link.Trace().repaintRequest = PrintTraceEntry;
    link.Trace().repaintContext = &link.Trace();
    link.Trace().live = 1;
  }
  const int code = RunCommand(link, options, requests);
  link.Close();
  return code;
}
