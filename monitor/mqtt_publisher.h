#pragma once
// MQTT through libmosquitto, its network loop on a thread of its own: the
// polling thread only hands messages over and never waits for the broker.
// Topics, with PREFIX the topic prefix and METER the meter's id:
//   PREFIX/METER/state         the latest state object, retained
//   PREFIX/METER/availability  "online" / "offline", retained
//   PREFIX/BUS/availability    this monitor's own, its last will "offline"
//   PREFIX/METER/clock-set     the last time --keep-clock set the clock, retained
//   PREFIX/METER/action        the last action asked (--mqtt-commands), retained
//   PREFIX/BUS/command/ADDRESS/ACTION   heard (--mqtt-commands): set-clock, sync-log
// and, unless switched off, a Home Assistant discovery config per reading.

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "monitor/actions.h"
#include "monitor/monitor_options.h"
#include "monitor/publisher.h"

struct mosquitto;
struct mosquitto_message;

// Empty when prefix may begin every topic (--mqtt-prefix,
// --ha-discovery-prefix), else why not: no wildcard ('+', '#'), no NUL, no
// empty level, no '/' at either end, no '$' first (the brokers' own), UTF-8.
std::string TopicPrefixProblem(const std::string& prefix);

// One Home Assistant discovery message: its topic and JSON payload.
struct DiscoveryMessage {
  std::string topic;
  std::string payload;
};
// The discovery configs of a meter's readings (keys as read --json names
// them; those without a quantity get none).
std::vector<DiscoveryMessage> DiscoveryMessages(const MqttSettings& settings, const Meter& info,
                                                const std::vector<std::string>& keys);
// The empty retained configs that remove the sensors of keys (a meter found
// again as a model without them).
std::vector<DiscoveryMessage> DiscoveryRemovals(const MqttSettings& settings, const Meter& info,
                                                const std::vector<std::string>& keys);

// With --mqtt-commands, a QM4C's buttons ("Set clock"; "Sync log now" when
// syncLog) and its last-action sensor.
std::vector<DiscoveryMessage> ActionDiscovery(const MqttSettings& settings, const Meter& info, bool syncLog);
// The diagnostic sensor of a QM4C's clock drift, seconds (none while invalid).
std::vector<DiscoveryMessage> ClockDriftDiscovery(const MqttSettings& settings, const Meter& info);

class MqttPublisher : public Publisher {
 public:
  MqttPublisher(MqttSettings settings, std::string busId);
  ~MqttPublisher() override;
  // Checks the URL and starts connecting; the loop keeps trying, with
  // backoff, until the broker answers. False with the reason for a URL or
  // TLS setting that can never work.
  bool Start(std::string* error);
  // --mqtt-commands, before Start: the command topics are subscribed to and
  // what they bring goes to queue.
  void TakeCommands(ActionQueue* queue, bool syncLog) {
    commands_ = queue;
    syncLog_ = syncLog;
  }

  void MeterFound(const Meter& info) override;
  void State(const Meter& info, const MeterState& state) override;
  void Availability(const Meter& info, bool online) override;
  void ClockSet(const Meter& info, const ClockSetting& setting) override;
  void ActionDone(const Meter& info, const ActionOutcome& outcome) override;
  void Stopping() override;

  // Seconds of the reconnect backoff: 1, 2, 4 ... up to 30.
  static constexpr unsigned kReconnectMin = 1;
  static constexpr unsigned kReconnectMax = 30;
  // A connection the broker drops within this long of accepting it, three
  // times in a row, is most likely taken over by another client of the same
  // client id each time that one (re)connects: the broker lets only one in.
  // Two such clients take turns at their reconnect delays, so a turn lasts
  // up to the longest delay.
  static constexpr std::chrono::seconds kQuickDrop{kReconnectMax};
  static constexpr int kQuickDropsSaid = 3;

 private:
  struct Published {
    Meter info;
    std::vector<std::string> keys;     // the readings discovery has announced
    std::vector<std::string> removed;  // announced once, not by the model found since
    bool announced = false;            // keys announced with this info's device block
    std::string state;
    std::string clockSet;
    std::string action;
    std::optional<bool> online;
  };
  static void OnConnect(mosquitto*, void* self, int rc);
  static void OnDisconnect(mosquitto*, void* self, int rc);
  static void OnPublish(mosquitto*, void* self, int mid);
  static void OnMessage(mosquitto*, void* self, const struct mosquitto_message* message);
  void Heard(const std::string& topic, const std::string& payload, bool retained);
  bool Commandable(const std::string& meterId, ActionKind kind);
  void PublishClockDiscovery(const Meter& info);
  void Connected(int rc);
  void Disconnected(int rc);
  void Publish(const std::string& topic, const std::string& payload);
  void PublishAll(const std::vector<DiscoveryMessage>& messages);
  void SayPublishFailure(const std::string& topic, int rc);
  void Announce(Published& meter, const std::vector<std::string>& keys);
  void PublishMeter(const Published& meter);
  std::string Topic(const std::string& meterId, const char* leaf) const;

  MqttSettings settings_;
  std::string busId_;
  ActionQueue* commands_ = nullptr;
  bool syncLog_ = false;
  std::string host_;
  int port_ = 1883;
  mosquitto* client_ = nullptr;
  bool loopRunning_ = false;
  std::mutex mutex_;              // meters_, failuresSaid_, and the order of publishes
  std::map<std::string, Published> meters_;
  std::set<int> failuresSaid_;    // mosquitto's result codes of publishes that failed
  std::atomic<bool> connected_{false};
  std::atomic<bool> refusedSaid_{false};
  std::atomic<int> unacknowledged_{0};
  // The network thread's own: when the connection was accepted, and how many
  // connections in a row the broker dropped soon after.
  std::chrono::steady_clock::time_point connectedAt_;
  int quickDrops_ = 0;
  bool clashSaid_ = false;
};
