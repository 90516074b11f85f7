#pragma once
// /metrics for Prometheus: the monitor's latest readings and its own
// counters in the text exposition format, served by an HttpListener on a
// thread of its own so that no scrape waits on the bus or the bus on a
// scrape.

#include <array>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "modbus/result.h"
#include "monitor/modbus_gateway.h"
#include "monitor/publisher.h"

namespace httplib {
class Server;
}

class PrometheusExporter : public Publisher {
 public:
  // GET /metrics on server, before it starts listening.
  void Serve(httplib::Server& server);

  void MeterFound(const Meter& info) override;
  void State(const Meter& info, const PollFields& fields, const std::string& state) override;
  void Availability(const Meter& info, bool online) override;
  void Transactions(const Meter& info, ModbusResult result, int count) override;
  void RoundDone(double seconds, bool overrun) override;
  void Synced(const Meter& info, const SyncResult& result) override;
  void GatewayServed(const GatewayStats& stats) override;
  void ClockSet(const Meter& info, const ClockSetting& setting) override;

  // The whole exposition, as GET /metrics answers.
  std::string Render() const;

 private:
  struct MeterMetrics {
    Meter info;
    bool up = false;
    std::map<std::string, float> readings;  // by read --json key
    std::array<unsigned long, kResultCount> transactions{};
    struct Archive {
      time_t newest = 0;  // 0: the archive holds nothing of the meter
      unsigned long entries = 0;
      unsigned long failures = 0;
    };
    std::map<std::string, Archive> archives;  // by URL
    unsigned long clockSets = 0;
  };
  void RenderReadings(std::string& text) const;
  void RenderMeters(std::string& text) const;
  void RenderArchives(std::string& text) const;
  void RenderGateway(std::string& text) const;
  void RenderClockSets(std::string& text) const;

  mutable std::mutex mutex_;
  std::map<std::string, MeterMetrics> meters_;  // by meter id
  unsigned long rounds_ = 0;
  unsigned long overruns_ = 0;
  double lastRoundSeconds_ = 0;
  std::optional<GatewayStats> gateway_;
};
