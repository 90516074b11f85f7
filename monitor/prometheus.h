#pragma once
// /metrics for Prometheus: the monitor's latest readings and its own
// counters in the text exposition format, served by cpp-httplib on a thread
// of its own so that no scrape waits on the bus or the bus on a scrape.

#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "modbus/result.h"
#include "monitor/publisher.h"

namespace httplib {
class Server;
}

class PrometheusExporter : public Publisher {
 public:
  PrometheusExporter();
  ~PrometheusExporter() override;  // Stop()
  // Listens on ADDR:PORT ("127.0.0.1:9464", "[::1]:9464"; a bare port
  // listens on the loopback). False with the reason when the address is bad
  // or taken, by whatever program.
  bool Start(const std::string& address, std::string* error);
  void Stop();

  void MeterFound(const MeterInfo& info) override;
  void State(const MeterInfo& info, const PollFields& fields, const std::string& state) override;
  void Availability(const MeterInfo& info, bool online) override;
  void Transactions(const MeterInfo& info, ModbusResult result, int count) override;
  void RoundDone(double seconds, bool overrun) override;

  // The whole exposition, as GET /metrics answers.
  std::string Render() const;

 private:
  struct MeterMetrics {
    MeterInfo info;
    bool up = false;
    std::map<std::string, float> readings;  // by read --json key
    std::array<unsigned long, kResultCount> transactions{};
  };
  void RenderReadings(std::string& text) const;
  void RenderMeters(std::string& text) const;

  mutable std::mutex mutex_;
  std::map<std::string, MeterMetrics> meters_;  // by meter id
  unsigned long rounds_ = 0;
  unsigned long overruns_ = 0;
  double lastRoundSeconds_ = 0;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  std::atomic<bool> listenerEnded_{false};
};
