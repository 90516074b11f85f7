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
#include "monitor/bus_tally.h"
#include "monitor/publisher.h"

namespace httplib {
class Server;
}

class PrometheusExporter : public Publisher {
 public:
  // The bus's counters come from tally, which outlives the exporter.
  explicit PrometheusExporter(const BusTally& tally) : tally_(tally) {}
  // GET /metrics on server, before it starts listening.
  void Serve(httplib::Server& server);

  void MeterFound(const Meter& info) override;
  void State(const Meter& info, const MeterState& state) override;
  void Availability(const Meter& info, bool online) override;
  void Synced(const Meter& info, const SyncResult& result) override;
  void ClockSet(const Meter& info, const ClockSetting& setting) override;

  // The whole exposition, as GET /metrics answers.
  std::string Render() const;

 private:
  struct MeterMetrics {
    Meter info;
    bool up = false;
    std::map<std::string, float> readings;  // by read --json key
    struct Archive {
      time_t newest = 0;  // 0: the archive holds nothing of the meter
      unsigned long entries = 0;
      unsigned long failures = 0;
    };
    std::map<std::string, Archive> archives;  // by URL
    unsigned long clockSets = 0;
    std::optional<bool> clockValid;  // none: no clock read (QM4A, QM4B)
    std::optional<long> clockDrift;  // with --keep-clock or --mqtt-commands, while valid
  };
  void RenderReadings(std::string& text) const;
  void RenderMeters(std::string& text, const BusCounts& counts) const;
  void RenderArchives(std::string& text) const;
  static void RenderGateway(std::string& text, const BusCounts& counts);
  static void RenderRounds(std::string& text, const BusCounts& counts);
  void RenderClockSets(std::string& text) const;
  void RenderClocks(std::string& text) const;
  static void RenderCommands(std::string& text, const BusCounts& counts);

  mutable std::mutex mutex_;
  std::map<std::string, MeterMetrics> meters_;  // by meter id
  const BusTally& tally_;
};
