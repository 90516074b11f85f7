#pragma once
// MQTT through libmosquitto, its network loop on a thread of its own: the
// polling thread only hands messages over and never waits for the broker.
// Topics, with PREFIX the topic prefix and METER the meter's id:
//   PREFIX/METER/state         the latest state object, retained
//   PREFIX/METER/availability  "online" / "offline", retained
//   PREFIX/BUS/availability    this monitor's own, its last will "offline"
// and, unless switched off, a Home Assistant discovery config per reading.

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "monitor/monitor_options.h"
#include "monitor/publisher.h"

struct mosquitto;

// One Home Assistant discovery message: its topic and JSON payload.
struct DiscoveryMessage {
  std::string topic;
  std::string payload;
};
// The discovery configs of a meter's readings (keys as read --json names
// them; those without a quantity get none).
std::vector<DiscoveryMessage> DiscoveryMessages(const MqttSettings& settings, const std::string& busId,
                                                const MeterInfo& info, const std::vector<std::string>& keys);

class MqttPublisher : public Publisher {
 public:
  MqttPublisher(MqttSettings settings, std::string busId);
  ~MqttPublisher() override;
  // Checks the URL and starts connecting; the loop keeps trying, with
  // backoff, until the broker answers. False with the reason for a URL or
  // TLS setting that can never work.
  bool Start(std::string* error);

  void MeterFound(const MeterInfo& info) override;
  void State(const MeterInfo& info, const PollFields& fields, const std::string& state) override;
  void Availability(const MeterInfo& info, bool online) override;
  void Stopping() override;

  // Seconds of the reconnect backoff: 1, 2, 4 ... up to 30.
  static constexpr unsigned kReconnectMin = 1;
  static constexpr unsigned kReconnectMax = 30;

 private:
  struct Meter {
    MeterInfo info;
    std::vector<std::string> keys;  // the readings discovery has announced
    std::string state;
    std::optional<bool> online;
  };
  static void OnConnect(mosquitto*, void* self, int rc);
  static void OnDisconnect(mosquitto*, void* self, int rc);
  static void OnPublish(mosquitto*, void* self, int mid);
  void Connected(int rc);
  void Publish(const std::string& topic, const std::string& payload);
  void PublishMeter(const Meter& meter);
  std::string Topic(const std::string& meterId, const char* leaf) const;

  MqttSettings settings_;
  std::string busId_;
  std::string host_;
  int port_ = 1883;
  mosquitto* client_ = nullptr;
  bool loopRunning_ = false;
  std::mutex mutex_;              // meters_, and the order of publishes
  std::map<std::string, Meter> meters_;
  std::atomic<bool> connected_{false};
  std::atomic<bool> refusedSaid_{false};
  std::atomic<int> unacknowledged_{0};
};
