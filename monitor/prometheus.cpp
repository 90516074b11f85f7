#include "monitor/prometheus.h"

#include <charconv>
#include <span>

#include <httplib.h>

#include "console/poll_json.h"
#include "monitor/quantities.h"

namespace {
// Result codes as the transactions' result label spells them.
constexpr const char* kResultLabels[kResultCount] = {
    "ok",        "timeout",       "too_large",      "bad_length",     "exception",    "crc",
    "wrong_address", "wrong_function", "bad_byte_count", "write_mismatch", "bad_parameter"};

constexpr const char* kExpositionType = "text/plain; version=0.0.4; charset=utf-8";

std::string Number(double value) {
  if (value != value) return "NaN";
  if (value - value != 0) return value > 0 ? "+Inf" : "-Inf";
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

// Label values are ours (ids, model names, phases) but escaped all the same.
std::string LabelValue(const std::string& value) {
  std::string escaped;
  for (const char c : value) {
    if (c == '\\' || c == '"') escaped += '\\';
    escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return "\"" + escaped + "\"";
}

void Family(std::string& text, const char* name, const char* type, const char* help) {
  text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void Sample(std::string& text, const std::string& name, const std::string& labels, double value) {
  text += name + "{" + labels + "} " + Number(value) + "\n";
}

std::string MeterLabels(const MeterInfo& info) {
  return "meter=" + LabelValue(info.id) + ",model=" + LabelValue(ModelName(info.model));
}

// "127.0.0.1:9464", "[::1]:9464" or "9464".
bool SplitAddress(const std::string& address, std::string& host, int& port) {
  const size_t colon = address.rfind(':');
  host = colon == std::string::npos ? "127.0.0.1" : address.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  const std::string digits = colon == std::string::npos ? address : address.substr(colon + 1);
  const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), port);
  return result.ec == std::errc() && result.ptr == digits.data() + digits.size() && port > 0 && port < 65536 &&
         !host.empty();
}
}  // namespace

PrometheusExporter::PrometheusExporter() : server_(std::make_unique<httplib::Server>()) {}

PrometheusExporter::~PrometheusExporter() { Stop(); }

bool PrometheusExporter::Start(const std::string& address, std::string* error) {
  std::string host;
  int port = 0;
  if (!SplitAddress(address, host, port)) {
    *error = "--prometheus wants ADDR:PORT, not \"" + address + "\"";
    return false;
  }
  server_->Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
    response.set_content(Render(), kExpositionType);
  });
  if (!server_->bind_to_port(host.c_str(), port)) {
    *error = "cannot listen on " + address + " for /metrics (in use, or not an address of this machine)";
    return false;
  }
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  return true;
}

void PrometheusExporter::Stop() {
  if (!thread_.joinable()) return;
  server_->stop();
  thread_.join();
}

void PrometheusExporter::MeterFound(const MeterInfo& info) {
  std::lock_guard<std::mutex> hold(mutex_);
  meters_[info.id].info = info;
}

void PrometheusExporter::State(const MeterInfo& info, const PollFields& fields, const std::string&) {
  std::lock_guard<std::mutex> hold(mutex_);
  MeterMetrics& meter = meters_[info.id];
  for (int pair = 0; pair < fields.pairsRead; ++pair) meter.readings[PairLabel(pair)] = fields.pairs[pair];
}

// An offline meter's last readings are withdrawn rather than shown as if
// current; its up says why they are missing.
void PrometheusExporter::Availability(const MeterInfo& info, bool online) {
  std::lock_guard<std::mutex> hold(mutex_);
  MeterMetrics& meter = meters_[info.id];
  meter.up = online;
  if (!online) meter.readings.clear();
}

void PrometheusExporter::Transactions(const MeterInfo& info, ModbusResult result, int count) {
  if (result < 0 || result >= kResultCount) return;
  std::lock_guard<std::mutex> hold(mutex_);
  meters_[info.id].transactions[static_cast<size_t>(result)] += static_cast<unsigned long>(count);
}

void PrometheusExporter::RoundDone(double seconds, bool overrun) {
  std::lock_guard<std::mutex> hold(mutex_);
  ++rounds_;
  overruns_ += overrun ? 1 : 0;
  lastRoundSeconds_ = seconds;
}

std::string PrometheusExporter::Render() const {
  std::lock_guard<std::mutex> hold(mutex_);
  std::string text;
  RenderReadings(text);
  RenderMeters(text);
  Family(text, "pylax_poll_rounds_total", "counter", "Rounds of polls of every meter of the bus.");
  text += "pylax_poll_rounds_total " + std::to_string(rounds_) + "\n";
  Family(text, "pylax_poll_overruns_total", "counter", "Rounds that took longer than the interval.");
  text += "pylax_poll_overruns_total " + std::to_string(overruns_) + "\n";
  Family(text, "pylax_poll_round_duration_seconds", "gauge", "How long the last round of polls took.");
  text += "pylax_poll_round_duration_seconds " + Number(lastRoundSeconds_) + "\n";
  return text;
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
        Sample(text, f.name, MeterLabels(meter.info) + ",phase=" + LabelValue(quantity.phase),
               static_cast<double>(reading->second) * quantity.metricScale);
      }
  }
}

void PrometheusExporter::RenderMeters(std::string& text) const {
  Family(text, "pylax_up", "gauge", "1 while the meter answers, 0 after 3 failed polls in a row.");
  for (const auto& [id, meter] : meters_) Sample(text, "pylax_up", MeterLabels(meter.info), meter.up ? 1 : 0);
  Family(text, "pylax_poll_transactions_total", "counter", "Poll transactions by result.");
  for (const auto& [id, meter] : meters_)
    for (int result = 0; result < kResultCount; ++result)
      Sample(text, "pylax_poll_transactions_total",
             MeterLabels(meter.info) + ",result=" + LabelValue(kResultLabels[result]),
             static_cast<double>(meter.transactions[static_cast<size_t>(result)]));
}
