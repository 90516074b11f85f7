#include "monitor/prometheus.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string_view>
#include <span>

#include <httplib.h>

#include "bus/poll_json.h"
#include "util/shown_text.h"
#include "archive/sync.h"
#include "modbus/host_port.h"
#include "modbus/model.h"
#include "monitor/quantities.h"

namespace {
// Result codes as the transactions' result label spells them.
constexpr const char* kResultLabels[kResultCount] = {
    "ok",        "timeout",       "too_large",      "bad_length",     "exception",    "crc",
    "wrong_address", "wrong_function", "bad_byte_count", "write_mismatch", "bad_parameter"};

constexpr const char* kExpositionType = "text/plain; version=0.0.4; charset=utf-8";

// Special values as the exposition format spells them; "" for a number.
std::string NonFinite(double value) {
  if (value != value) return "NaN";
  if (value - value != 0) return value > 0 ? "+Inf" : "-Inf";
  return "";
}

std::string Number(double value) {
  if (const std::string special = NonFinite(value); !special.empty()) return special;
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

// A decimal number: digits x 10^exponent. Read from a float's shortest text
// (at most 9 digits) times a scale's (3600000), digits stays far below 2^64.
struct Decimal {
  bool negative = false;
  uint64_t digits = 0;
  int exponent = 0;
};

// The number std::to_chars wrote ("2.3", "-0.875", "1e+06", "1.25e-05").
Decimal ReadDecimal(std::string_view text) {
  Decimal number;
  number.negative = !text.empty() && text.front() == '-';
  if (number.negative) text.remove_prefix(1);
  const size_t e = text.find('e');
  if (e != std::string_view::npos) {
    const std::string_view power = text.substr(e + 1);
    std::from_chars(power.data() + (power.front() == '+' ? 1 : 0), power.data() + power.size(), number.exponent);
    text = text.substr(0, e);
  }
  const size_t point = text.find('.');
  for (size_t i = 0; i < text.size(); ++i) {
    if (i == point) continue;
    number.digits = number.digits * 10 + static_cast<uint64_t>(text[i] - '0');
    if (point != std::string_view::npos && i > point) --number.exponent;  // a digit after the point
  }
  return number;
}

// Plain where that is short ("4444200000", "0.0125"), else "1.5e-7".
std::string WriteDecimal(Decimal number) {
  if (number.digits == 0) return "0";
  for (; number.digits % 10 == 0; number.digits /= 10) ++number.exponent;
  const std::string digits = std::to_string(number.digits);
  const int point = static_cast<int>(digits.size()) + number.exponent;  // digits before the decimal point
  std::string text;
  if (number.exponent >= 0 && point <= 21)
    text = digits + std::string(static_cast<size_t>(number.exponent), '0');
  else if (number.exponent < 0 && point > 0)
    text = digits.substr(0, static_cast<size_t>(point)) + "." + digits.substr(static_cast<size_t>(point));
  else if (number.exponent < 0 && point > -6)
    text = "0." + std::string(static_cast<size_t>(-point), '0') + digits;
  else
    text = digits.substr(0, 1) + (digits.size() > 1 ? "." + digits.substr(1) : "") + "e" + std::to_string(point - 1);
  return (number.negative ? "-" : "") + text;
}

// The reading as the meter gave it, scaled in decimal: its shortest text
// (the float's, as the state object and the window have it) times the scale,
// exactly. Through double arithmetic 2.3 kW would be served as
// 2299.999952316284 W, and 1.005 kW, even from its shortest text, as
// 1004.9999999999999 W.
std::string ScaledReading(float reading, double scale) {
  if (const std::string special = NonFinite(reading); !special.empty()) return special;
  char text[32];
  const Decimal value = ReadDecimal({text, std::to_chars(text, text + sizeof text, reading).ptr});
  const Decimal factor = ReadDecimal({text, std::to_chars(text, text + sizeof text, scale).ptr});
  return WriteDecimal({value.negative != factor.negative, value.digits * factor.digits, value.exponent + factor.exponent});
}

// Label values are ours (ids, model names, phases) but escaped all the same.
std::string LabelValue(const std::string& value) {
  std::string escaped;
  for (const char c : ValidUtf8(value)) {
    if (c == '\\' || c == '"') escaped += '\\';
    escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return "\"" + escaped + "\"";
}

void Family(std::string& text, const char* name, const char* type, const char* help) {
  text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void Sample(std::string& text, const std::string& name, const std::string& labels, const std::string& value) {
  text += name + "{" + labels + "} " + value + "\n";
}

std::string MeterLabels(const Meter& info) {
  return "meter=" + LabelValue(MeterId(info)) + ",model=" + LabelValue(ModelName(info.model));
}
}  // namespace

void PrometheusExporter::Serve(httplib::Server& server) {
  server.Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
    response.set_content(Render(), kExpositionType);
  });
}

void PrometheusExporter::MeterFound(const Meter& info) {
  std::lock_guard<std::mutex> hold(mutex_);
  meters_[MeterId(info)].info = info;
}

void PrometheusExporter::State(const Meter& info, const MeterState& state) {
  const PollFields& fields = state.fields;
  std::lock_guard<std::mutex> hold(mutex_);
  MeterMetrics& meter = meters_[MeterId(info)];
  for (int pair = 0; pair < fields.pairsRead; ++pair) meter.readings[PairLabel(pair)] = fields.pairs[pair];
  if (fields.clock) meter.clockValid = fields.clockTime.has_value();
  meter.clockDrift = state.clockDrift;
}

// An offline meter's last readings are withdrawn rather than shown as if
// current; its up says why they are missing.
void PrometheusExporter::Availability(const Meter& info, bool online) {
  std::lock_guard<std::mutex> hold(mutex_);
  MeterMetrics& meter = meters_[MeterId(info)];
  meter.up = online;
  if (!online) meter.readings.clear();
}

std::string PrometheusExporter::Render() const {
  const BusCounts counts = tally_.Read();
  std::lock_guard<std::mutex> hold(mutex_);
  std::string text;
  RenderReadings(text);
  RenderMeters(text, counts);
  RenderArchives(text);
  RenderClockSets(text);
  RenderClocks(text);
  RenderGateway(text, counts);
  RenderCommands(text, counts);
  RenderRounds(text, counts);
  return text;
}

void PrometheusExporter::RenderRounds(std::string& text, const BusCounts& counts) {
  Family(text, "pylax_poll_rounds_total", "counter", "Rounds of polls of every meter of the bus.");
  text += "pylax_poll_rounds_total " + std::to_string(counts.rounds) + "\n";
  Family(text, "pylax_poll_overruns_total", "counter", "Rounds that took longer than the interval.");
  text += "pylax_poll_overruns_total " + std::to_string(counts.overruns) + "\n";
  Family(text, "pylax_poll_round_duration_seconds", "gauge", "How long the last round of polls took.");
  text += "pylax_poll_round_duration_seconds " + Number(counts.lastRoundSeconds) + "\n";
}

// One family per quantity, in the table's order, its meters' samples
// together as the format wants them.
void PrometheusExporter::RenderReadings(std::string& text) const {
  for (int family = 0; family < kMetricFamilyCount; ++family) {
    const MetricFamily& f = kMetricFamilies[family];
    Family(text, f.name, f.type == MetricType::Counter ? "counter" : "gauge", f.help);
    for (const auto& [id, meter] : meters_)
      for (const Quantity& quantity : std::span(kQuantities, static_cast<size_t>(kQuantityCount))) {
        const auto reading = meter.readings.find(quantity.key);
        if (quantity.family != family || reading == meter.readings.end()) continue;
        const std::string phase = quantity.phase == nullptr ? "" : ",phase=" + LabelValue(quantity.phase);
        Sample(text, f.name, MeterLabels(meter.info) + phase, ScaledReading(reading->second, quantity.metricScale));
      }
  }
}

void PrometheusExporter::RenderGateway(std::string& text, const BusCounts& counts) {
  if (!counts.gateway) return;
  const GatewayStats& gateway = *counts.gateway;
  Family(text, "pylax_gateway_clients", "gauge", "Modbus TCP clients connected to the gateway.");
  text += "pylax_gateway_clients " + std::to_string(gateway.clients) + "\n";
  Family(text, "pylax_gateway_requests_total", "counter", "Gateway requests by how they ended.");
  for (int outcome = 0; outcome < kGatewayOutcomes; ++outcome)
    Sample(text, "pylax_gateway_requests_total",
           "result=" + LabelValue(GatewayOutcomeName(static_cast<GatewayOutcome>(outcome))),
           std::to_string(gateway.requests[static_cast<size_t>(outcome)]));
  Family(text, "pylax_gateway_writes_total", "counter", "Gateway writes by register class, passed to a meter or refused.");
  for (int kind = 0; kind < kWriteClasses; ++kind)
    for (const bool passed : {true, false})
      Sample(text, "pylax_gateway_writes_total",
             "class=" + LabelValue(WriteClassName(static_cast<WriteClass>(kind))) +
                 ",outcome=" + LabelValue(passed ? "passed" : "refused"),
             std::to_string((passed ? gateway.writesPassed : gateway.writesRefused)[static_cast<size_t>(kind)]));
  Family(text, "pylax_gateway_wait_seconds", "histogram", "How long gateway requests waited for the line.");
  unsigned long below = 0;
  for (size_t k = 0; k <= kGatewayWaitBuckets.size(); ++k) {
    below += gateway.waits[k];
    Sample(text, "pylax_gateway_wait_seconds_bucket",
           "le=" + LabelValue(k < kGatewayWaitBuckets.size() ? Number(kGatewayWaitBuckets[k]) : "+Inf"),
           std::to_string(below));
  }
  text += "pylax_gateway_wait_seconds_sum " + Number(gateway.waitSumSeconds) + "\n";
  text += "pylax_gateway_wait_seconds_count " + std::to_string(below) + "\n";
  Family(text, "pylax_gateway_cache_total", "counter",
         "Gateway reads answered from the last round (hit) or the line (miss).");
  Sample(text, "pylax_gateway_cache_total", "result=\"hit\"", std::to_string(gateway.cacheHits));
  Sample(text, "pylax_gateway_cache_total", "result=\"miss\"", std::to_string(gateway.cacheMisses));
  Family(text, "pylax_gateway_clients_refused_total", "counter",
         "Gateway connections closed at once for want of a place.");
  text += "pylax_gateway_clients_refused_total " + std::to_string(gateway.refusedClients) + "\n";
}

void PrometheusExporter::RenderCommands(std::string& text, const BusCounts& counts) {
  if (!counts.commands) return;
  Family(text, "pylax_commands_total", "counter", "Actions asked (MQTT buttons, the page) by how they were taken.");
  for (int outcome = 0; outcome < kCommandOutcomes; ++outcome)
    Sample(text, "pylax_commands_total",
           "outcome=" + LabelValue(CommandOutcomeName(static_cast<CommandOutcome>(outcome))),
           std::to_string((*counts.commands)[static_cast<size_t>(outcome)]));
}

// A clock whose fields are out of range has no drift: it is 0 here.
void PrometheusExporter::RenderClocks(std::string& text) const {
  Family(text, "pylax_clock_valid", "gauge",
         "1 while the meter's clock reads as a date, 0 while its fields are out of range.");
  for (const auto& [id, meter] : meters_)
    if (meter.clockValid) Sample(text, "pylax_clock_valid", MeterLabels(meter.info), *meter.clockValid ? "1" : "0");
  Family(text, "pylax_clock_drift_seconds", "gauge",
         "The meter's clock less this computer's (--keep-clock, --mqtt-commands).");
  for (const auto& [id, meter] : meters_)
    if (meter.clockDrift)
      Sample(text, "pylax_clock_drift_seconds", MeterLabels(meter.info), std::to_string(*meter.clockDrift));
}

void PrometheusExporter::RenderMeters(std::string& text, const BusCounts& counts) const {
  Family(text, "pylax_up", "gauge", "1 while the meter answers, 0 after 3 failed polls in a row.");
  for (const auto& [id, meter] : meters_) Sample(text, "pylax_up", MeterLabels(meter.info), meter.up ? "1" : "0");
  Family(text, "pylax_poll_transactions_total", "counter", "Poll transactions by result.");
  for (const auto& [id, meter] : meters_) {
    const BusCounts::ByResult transactions = counts.TransactionsOf(id);
    for (int result = 0; result < kResultCount; ++result)
      Sample(text, "pylax_poll_transactions_total",
             MeterLabels(meter.info) + ",result=" + LabelValue(kResultLabels[result]),
             std::to_string(transactions[static_cast<size_t>(result)]));
  }
}

// Each archive of each meter the monitor has synced: its own label, since
// each archive keeps its own cursor and one may lag behind another.
void PrometheusExporter::Synced(const Meter& info, const SyncResult& result) {
  std::lock_guard<std::mutex> hold(mutex_);
  MeterMetrics& meter = meters_[MeterId(info)];
  for (const ArchiveSyncReport& report : result.archives) {
    MeterMetrics::Archive& archive = meter.archives[report.url];
    if (report.outcome.runLast > 0) archive.newest = report.outcome.runLast;
    archive.entries += report.ok ? static_cast<unsigned long>(report.outcome.added) : 0;
    archive.failures += report.ok ? 0 : 1;
  }
}

void PrometheusExporter::ClockSet(const Meter& info, const ClockSetting& setting) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (setting.result == ResultOk) ++meters_[MeterId(info)].clockSets;
}

void PrometheusExporter::RenderArchives(std::string& text) const {
  const auto labels = [](const Meter& info, const std::string& url) {
    return MeterLabels(info) + ",archive=" + LabelValue(url);
  };
  Family(text, "pylax_archive_newest_entry_timestamp_seconds", "gauge",
         "Time of the meter's newest log entry the archive holds, in seconds since 1970 (UTC).");
  for (const auto& [id, meter] : meters_)
    for (const auto& [url, archive] : meter.archives)
      if (archive.newest > 0) Sample(text, "pylax_archive_newest_entry_timestamp_seconds", labels(meter.info, url),
                                     std::to_string(archive.newest));
  Family(text, "pylax_archive_entries_total", "counter", "Log entries of the meter this monitor put into the archive.");
  for (const auto& [id, meter] : meters_)
    for (const auto& [url, archive] : meter.archives)
      Sample(text, "pylax_archive_entries_total", labels(meter.info, url), std::to_string(archive.entries));
  Family(text, "pylax_archive_sync_failures_total", "counter",
         "Syncs of the meter's log that the archive did not take (meter or archive failed).");
  for (const auto& [id, meter] : meters_)
    for (const auto& [url, archive] : meter.archives)
      Sample(text, "pylax_archive_sync_failures_total", labels(meter.info, url), std::to_string(archive.failures));
}

// Only once the monitor has set a clock: without --keep-clock there is none.
void PrometheusExporter::RenderClockSets(std::string& text) const {
  const bool any = std::any_of(meters_.begin(), meters_.end(), [](const auto& m) { return m.second.clockSets > 0; });
  if (!any) return;
  Family(text, "pylax_clock_sets_total", "counter", "Times this monitor set the meter's clock (--keep-clock).");
  for (const auto& [id, meter] : meters_)
    if (meter.clockSets > 0)
      Sample(text, "pylax_clock_sets_total", MeterLabels(meter.info), std::to_string(meter.clockSets));
}
