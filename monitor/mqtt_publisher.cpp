#include "monitor/mqtt_publisher.h"

#include <mosquitto.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <cstdio>
#include <thread>

#include <nlohmann/json.hpp>

#include "console/poll_json.h"
#include "monitor/quantities.h"

namespace {
constexpr int kQos = 1;
constexpr int kKeepAliveSeconds = 30;
// How long an ending monitor waits for the broker to take its "offline".
constexpr auto kGoodbyeWait = std::chrono::seconds(3);
constexpr const char* kSystemCertificates = "/etc/ssl/certs";

void Say(const std::string& message) {
  std::fprintf(stderr, "pylaxctl: %s\n", message.c_str());
  std::fflush(stderr);
}

// "KW-A" -> "kw_a": the reading's part of ids and topics.
std::string ObjectId(const std::string& key) {
  std::string id;
  for (const unsigned char c : key) id += std::isalnum(c) ? static_cast<char>(std::tolower(c)) : '_';
  return id;
}

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT]; a user or password in the URL
// is refused, as a password would show in the process list.
bool ParseUrl(const std::string& url, std::string& host, int& port, bool& tls, std::string* error) {
  const size_t scheme = url.find("://");
  const std::string name = scheme == std::string::npos ? "" : url.substr(0, scheme);
  tls = name == "mqtts";
  std::string rest = scheme == std::string::npos ? "" : url.substr(scheme + 3);
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (rest.find('@') != std::string::npos) {  // not echoed: it may hold a password
    *error = "--mqtt wants mqtt://HOST[:PORT] with no user or password in it (--mqtt-user, and the password "
             "from the config file, --mqtt-password-file or PYLAX_MQTT_PASSWORD)";
    return false;
  }
  if ((name != "mqtt" && !tls) || rest.empty() || rest.find('/') != std::string::npos) {
    *error = "--mqtt wants mqtt://HOST[:PORT] or mqtts://HOST[:PORT], not \"" + url + "\"";
    return false;
  }
  port = tls ? 8883 : 1883;
  const size_t colon = rest.rfind(':');
  host = rest;
  if (colon != std::string::npos && rest.find(']', colon) == std::string::npos) {
    host = rest.substr(0, colon);
    try {
      size_t used = 0;
      port = std::stoi(rest.substr(colon + 1), &used);
      if (used != rest.size() - colon - 1 || port < 1 || port > 65535) throw std::invalid_argument("port");
    } catch (const std::exception&) {
      *error = "--mqtt: bad port in \"" + url + "\"";
      return false;
    }
  }
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  return !host.empty();
}
}  // namespace

std::vector<DiscoveryMessage> DiscoveryMessages(const MqttSettings& settings, const std::string& busId,
                                                const MeterInfo& info, const std::vector<std::string>& keys) {
  const std::string meterTopic = settings.prefix + "/" + info.id;
  const nlohmann::json device = {
      {"identifiers", {"pylax_" + info.id}},
      {"name", info.identification + " at " + std::to_string(info.address)},
      {"model", ModelName(info.model)},
      {"hw_version", info.identification},
  };
  std::vector<DiscoveryMessage> messages;
  for (const std::string& key : keys) {
    const Quantity* quantity = QuantityOfKey(key);
    if (quantity == nullptr) continue;
    const std::string value = "value_json['" + key + "']";
    nlohmann::json config = {
        {"name", key},
        {"unique_id", "pylax_" + info.id + "_" + ObjectId(key)},
        {"state_topic", meterTopic + "/state"},
        {"value_template", quantity->unitScale == 1 ? "{{ " + value + " }}"
                                                    : "{{ " + value + " * " + std::to_string(static_cast<int>(
                                                                                      quantity->unitScale)) + " }}"},
        {"availability",
         {{{"topic", meterTopic + "/availability"}}, {{"topic", settings.prefix + "/" + busId + "/availability"}}}},
        {"availability_mode", "all"},
        {"device_class", quantity->deviceClass},
        {"state_class", IsCounter(*quantity) ? "total_increasing" : "measurement"},
        {"device", device},
    };
    if (*quantity->unit != '\0') config["unit_of_measurement"] = quantity->unit;
    messages.push_back({settings.discoveryPrefix + "/sensor/" + info.id + "/" + ObjectId(key) + "/config",
                        config.dump()});
  }
  return messages;
}

MqttPublisher::MqttPublisher(MqttSettings settings, std::string busId)
    : settings_(std::move(settings)), busId_(std::move(busId)) {
  if (settings_.clientId.empty()) settings_.clientId = "pylax-" + busId_;
}

MqttPublisher::~MqttPublisher() {
  if (client_ == nullptr) return;
  if (loopRunning_) mosquitto_loop_stop(client_, true);
  mosquitto_destroy(client_);
  mosquitto_lib_cleanup();
}

bool MqttPublisher::Start(std::string* error) {
  bool tls = false;
  if (!ParseUrl(settings_.url, host_, port_, tls, error)) return false;
  mosquitto_lib_init();
  client_ = mosquitto_new(settings_.clientId.c_str(), true, this);
  if (client_ == nullptr) {
    *error = "MQTT: cannot make a client";
    return false;
  }
  mosquitto_connect_callback_set(client_, OnConnect);
  mosquitto_disconnect_callback_set(client_, OnDisconnect);
  mosquitto_publish_callback_set(client_, OnPublish);
  mosquitto_reconnect_delay_set(client_, kReconnectMin, kReconnectMax, true);
  const std::string will = Topic(busId_, "availability");
  mosquitto_will_set(client_, will.c_str(), 7, "offline", kQos, true);
  if (!settings_.user.empty())
    mosquitto_username_pw_set(client_, settings_.user.c_str(),
                              settings_.password.empty() ? nullptr : settings_.password.c_str());
  if (tls) {
    const bool ownCa = !settings_.caFile.empty();
    const int rc = mosquitto_tls_set(client_, ownCa ? settings_.caFile.c_str() : nullptr,
                                     ownCa ? nullptr : kSystemCertificates, nullptr, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      *error = "MQTT TLS: " + std::string(mosquitto_strerror(rc)) + (ownCa ? " (CA file " + settings_.caFile + ")" : "");
      return false;
    }
  }
  // A broker that is not there yet is no error: the loop keeps trying.
  const int rc = mosquitto_connect_async(client_, host_.c_str(), port_, kKeepAliveSeconds);
  if (rc != MOSQ_ERR_SUCCESS)
    Say("MQTT broker " + host_ + ":" + std::to_string(port_) + ": " +
        (rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc)) + "; trying again");
  if (mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS) {
    *error = "MQTT: cannot start the network thread";
    return false;
  }
  loopRunning_ = true;
  return true;
}

std::string MqttPublisher::Topic(const std::string& meterId, const char* leaf) const {
  return settings_.prefix + "/" + meterId + "/" + leaf;
}

// Sent only while connected; what the broker misses meanwhile is the
// latest state again on reconnect, so an outage costs no memory.
void MqttPublisher::Publish(const std::string& topic, const std::string& payload) {
  if (!connected_) return;
  ++unacknowledged_;  // before: the acknowledgement may come before the call returns
  if (mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), kQos,
                        true) != MOSQ_ERR_SUCCESS)
    --unacknowledged_;
}

void MqttPublisher::PublishMeter(const Meter& meter) {
  if (settings_.discovery)
    for (const DiscoveryMessage& message : DiscoveryMessages(settings_, busId_, meter.info, meter.keys))
      Publish(message.topic, message.payload);
  if (meter.online.has_value()) Publish(Topic(meter.info.id, "availability"), *meter.online ? "online" : "offline");
  if (!meter.state.empty()) Publish(Topic(meter.info.id, "state"), meter.state);
}

void MqttPublisher::MeterFound(const MeterInfo& info) {
  std::lock_guard<std::mutex> hold(mutex_);
  Meter& meter = meters_[info.id];
  meter.info = info;
  meter.keys.clear();  // another model: announced again at its first state
}

// Discovery waits for the first state: the readings a model gives are what
// its poll read.
void MqttPublisher::State(const MeterInfo& info, const PollFields& fields, const std::string& state) {
  std::lock_guard<std::mutex> hold(mutex_);
  Meter& meter = meters_[info.id];
  meter.state = state;
  std::vector<std::string> keys;
  for (int pair = 0; pair < fields.pairsRead; ++pair)
    if (QuantityOfKey(PairLabel(pair)) != nullptr) keys.push_back(PairLabel(pair));
  if (keys != meter.keys) {
    meter.keys = keys;
    if (settings_.discovery)
      for (const DiscoveryMessage& message : DiscoveryMessages(settings_, busId_, info, keys))
        Publish(message.topic, message.payload);
  }
  Publish(Topic(info.id, "state"), state);
}

void MqttPublisher::Availability(const MeterInfo& info, bool online) {
  std::lock_guard<std::mutex> hold(mutex_);
  meters_[info.id].online = online;
  Publish(Topic(info.id, "availability"), online ? "online" : "offline");
}

void MqttPublisher::Stopping() {
  if (client_ == nullptr) return;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    for (auto& [id, meter] : meters_) {
      meter.online = false;
      Publish(Topic(id, "availability"), "offline");
    }
    Publish(Topic(busId_, "availability"), "offline");
  }
  const auto until = std::chrono::steady_clock::now() + kGoodbyeWait;
  while (connected_ && unacknowledged_ > 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  // Never connected, the network thread may sit in a reconnect delay of up
  // to 30 s: it is cancelled rather than waited for.
  const bool wasConnected = connected_.exchange(false);
  mosquitto_disconnect(client_);
  mosquitto_loop_stop(client_, !wasConnected);
  loopRunning_ = false;
}

void MqttPublisher::OnConnect(mosquitto*, void* self, int rc) { static_cast<MqttPublisher*>(self)->Connected(rc); }

// On every (re)connect the broker hears everything again: this monitor
// online, then each meter's discovery, availability and latest state.
void MqttPublisher::Connected(int rc) {
  if (rc != 0) {
    if (!refusedSaid_.exchange(true)) Say("MQTT broker refused the connection: " + std::string(mosquitto_connack_string(rc)));
    return;
  }
  refusedSaid_ = false;
  Say("MQTT broker " + host_ + ":" + std::to_string(port_) + " connected");
  std::lock_guard<std::mutex> hold(mutex_);
  connected_ = true;
  unacknowledged_ = 0;
  Publish(Topic(busId_, "availability"), "online");
  for (const auto& [id, meter] : meters_) PublishMeter(meter);
}

void MqttPublisher::OnDisconnect(mosquitto*, void* self, int rc) {
  auto* publisher = static_cast<MqttPublisher*>(self);
  const bool wasConnected = publisher->connected_.exchange(false);
  if (wasConnected && rc != 0)
    Say("MQTT broker " + publisher->host_ + ":" + std::to_string(publisher->port_) + " lost; reconnecting");
}

void MqttPublisher::OnPublish(mosquitto*, void* self, int) { --static_cast<MqttPublisher*>(self)->unacknowledged_; }
