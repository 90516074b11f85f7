#include "monitor/mqtt_publisher.h"

#include <mosquitto.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <cstdio>
#include <thread>

#include <nlohmann/json.hpp>

#include "bus/poll_json.h"
#include "util/shown_text.h"
#include "modbus/host_port.h"
#include "modbus/model.h"
#include "monitor/meter_id.h"
#include "monitor/quantities.h"

namespace {
constexpr int kQos = 1;
constexpr int kKeepAliveSeconds = 30;
// How long an ending monitor waits for the broker to take its "offline".
constexpr auto kGoodbyeWait = std::chrono::seconds(3);
constexpr const char* kSystemCertificates = "/etc/ssl/certs";
// What a button's discovery config names as its press, and all a command takes.
constexpr const char* kPress = "PRESS";

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
             "from --mqtt-password-file or the mqtt-password credential)";
    return false;
  }
  const std::string wants = "--mqtt wants mqtt://HOST[:PORT] or mqtts://HOST[:PORT], not \"" + url + "\"";
  if ((name != "mqtt" && !tls) || rest.find('/') != std::string::npos) {
    *error = wants;
    return false;
  }
  HostPort parts;
  std::string problem;
  if (!ParseHostPort(rest, &parts, &problem, tls ? "8883" : "1883")) {
    *error = wants + ": " + problem;
    return false;
  }
  host = parts.host;
  port = std::stoi(parts.port);
  return true;
}

// "{{ value_json['KW'] }}" would fail on the null a NaN reading is sent as
// (None * 1000 is an error); "None" is what Home Assistant shows as unknown.
std::string ValueTemplate(const std::string& key, double unitScale) {
  const std::string value = "value_json['" + key + "']";
  const std::string scaled =
      unitScale == 1 ? value : value + " * " + std::to_string(static_cast<int>(unitScale));
  return "{{ " + scaled + " if " + value + " is number else None }}";
}

std::string DiscoveryTopic(const MqttSettings& settings, const Meter& info, const std::string& key) {
  return settings.discoveryPrefix + "/sensor/" + MeterId(info) + "/" + ObjectId(key) + "/config";
}
}  // namespace

std::string TopicPrefixProblem(const std::string& prefix) {
  if (prefix.empty()) return "is empty";
  if (prefix.find_first_of("+#") != std::string::npos) return "holds '+' or '#', which only subscriptions may use";
  if (prefix.find('\0') != std::string::npos) return "holds a NUL character";
  if (prefix.front() == '/' || prefix.back() == '/') return "starts or ends with '/' (a level with no name)";
  if (prefix.find("//") != std::string::npos) return "has an empty level ('//')";
  if (prefix.front() == '$') return "starts with '$', which brokers keep for their own topics";
  if (mosquitto_validate_utf8(prefix.data(), static_cast<int>(prefix.size())) != MOSQ_ERR_SUCCESS)
    return "is not valid UTF-8";
  return "";
}

namespace {
// Named with its bus: two buses with a QM4C at 3 are two devices.
nlohmann::json Device(const Meter& info) {
  const std::string identification = ValidUtf8(info.identification);
  return {
      {"identifiers", {"pylax_" + MeterId(info)}},
      {"name", identification + " at " + std::to_string(info.address) + " on " + info.busId},
      {"manufacturer", "Orvant"},
      {"model", ModelName(info.model)},
      {"hw_version", identification},
  };
}

nlohmann::json Availability(const MqttSettings& settings, const Meter& info) {
  return {{{"topic", settings.prefix + "/" + MeterId(info) + "/availability"}},
          {{"topic", settings.prefix + "/" + info.busId + "/availability"}}};
}

std::string CommandTopic(const MqttSettings& settings, const Meter& info, ActionKind kind) {
  return settings.prefix + "/" + info.busId + "/command/" + std::to_string(info.address) + "/" + ActionName(kind);
}
}  // namespace

std::vector<DiscoveryMessage> ActionDiscovery(const MqttSettings& settings, const Meter& info, bool syncLog) {
  const nlohmann::json common = {{"availability", Availability(settings, info)},
                                 {"availability_mode", "all"},
                                 {"device", Device(info)}};
  std::vector<DiscoveryMessage> messages;
  const std::pair<ActionKind, const char*> buttons[] = {{ActionKind::SetClock, "Set clock"},
                                                        {ActionKind::SyncLog, "Sync log now"}};
  for (const auto& [kind, name] : buttons) {
    const std::string object = ObjectId(ActionName(kind));
    const std::string topic = settings.discoveryPrefix + "/button/" + MeterId(info) + "/" + object + "/config";
    if (kind == ActionKind::SyncLog && !syncLog) {
      messages.push_back({topic, ""});  // a button of a run with archives goes
      continue;
    }
    nlohmann::json config = common;
    config.update({{"name", name},
                   {"unique_id", "pylax_" + MeterId(info) + "_" + object},
                   {"command_topic", CommandTopic(settings, info, kind)},
                   {"payload_press", kPress},
                   {"entity_category", "config"}});
    messages.push_back({topic, config.dump()});
  }
  nlohmann::json sensor = common;
  sensor.update({{"name", "Last action"},
                 {"unique_id", "pylax_" + MeterId(info) + "_last_action"},
                 {"state_topic", settings.prefix + "/" + MeterId(info) + "/action"},
                 {"value_template", "{{ value_json.action }}: {{ value_json.result }}"},
                 {"json_attributes_topic", settings.prefix + "/" + MeterId(info) + "/action"},
                 {"entity_category", "diagnostic"}});
  messages.push_back({settings.discoveryPrefix + "/sensor/" + MeterId(info) + "/last_action/config", sensor.dump()});
  return messages;
}

std::vector<DiscoveryMessage> ClockDriftDiscovery(const MqttSettings& settings, const Meter& info) {
  const std::string drift = "value_json['clock-drift']";
  const nlohmann::json sensor = {{"name", "Clock drift"},
                                 {"unique_id", "pylax_" + MeterId(info) + "_clock_drift"},
                                 {"state_topic", settings.prefix + "/" + MeterId(info) + "/state"},
                                 {"value_template", "{{ " + drift + " if " + drift + " is number else None }}"},
                                 {"unit_of_measurement", "s"},
                                 {"state_class", "measurement"},
                                 {"entity_category", "diagnostic"},
                                 {"availability", Availability(settings, info)},
                                 {"availability_mode", "all"},
                                 {"device", Device(info)}};
  return {{settings.discoveryPrefix + "/sensor/" + MeterId(info) + "/clock_drift/config", sensor.dump()}};
}

std::vector<DiscoveryMessage> DiscoveryMessages(const MqttSettings& settings, const Meter& info,
                                                const std::vector<std::string>& keys) {
  const std::string meterTopic = settings.prefix + "/" + MeterId(info);
  const nlohmann::json device = Device(info);
  std::vector<DiscoveryMessage> messages;
  for (const std::string& key : keys) {
    const Quantity* quantity = QuantityOfKey(key);
    if (quantity == nullptr) continue;
    nlohmann::json config = {
        {"name", key},
        {"unique_id", "pylax_" + MeterId(info) + "_" + ObjectId(key)},
        {"state_topic", meterTopic + "/state"},
        {"value_template", ValueTemplate(key, quantity->unitScale)},
        {"availability", Availability(settings, info)},
        {"availability_mode", "all"},
        {"device_class", quantity->deviceClass},
        {"state_class", IsCounter(*quantity) ? "total_increasing" : "measurement"},
        {"device", device},
    };
    if (*quantity->unit != '\0') config["unit_of_measurement"] = quantity->unit;
    messages.push_back({DiscoveryTopic(settings, info, key), config.dump()});
  }
  return messages;
}

std::vector<DiscoveryMessage> DiscoveryRemovals(const MqttSettings& settings, const Meter& info,
                                                const std::vector<std::string>& keys) {
  std::vector<DiscoveryMessage> messages;
  for (const std::string& key : keys) messages.push_back({DiscoveryTopic(settings, info, key), ""});
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
  mosquitto_message_callback_set(client_, OnMessage);
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
  const int rc = mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                                   kQos, true);
  if (rc == MOSQ_ERR_SUCCESS) return;
  --unacknowledged_;
  SayPublishFailure(topic, rc);
}

void MqttPublisher::PublishAll(const std::vector<DiscoveryMessage>& messages) {
  for (const DiscoveryMessage& message : messages) Publish(message.topic, message.payload);
}

// Once per cause: the same cause fails every publish of its kind, each round.
// A connection lost meanwhile is said when it is noticed, and everything is
// published again on the next connect.
void MqttPublisher::SayPublishFailure(const std::string& topic, int rc) {
  if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST || !failuresSaid_.insert(rc).second) return;
  Say("MQTT: cannot publish to " + topic + ": " + mosquitto_strerror(rc) +
      " (said once; what fails for the same reason is dropped without a word)");
}

void MqttPublisher::PublishMeter(const Published& meter) {
  if (settings_.discovery) {
    PublishAll(DiscoveryRemovals(settings_, meter.info, meter.removed));
    PublishAll(DiscoveryMessages(settings_, meter.info, meter.keys));
    PublishClockDiscovery(meter.info);
  }
  if (!meter.action.empty()) Publish(Topic(MeterId(meter.info), "action"), meter.action);
  if (meter.online.has_value())
    Publish(Topic(MeterId(meter.info), "availability"), *meter.online ? "online" : "offline");
  if (!meter.state.empty()) Publish(Topic(MeterId(meter.info), "state"), meter.state);
  if (!meter.clockSet.empty()) Publish(Topic(MeterId(meter.info), "clock-set"), meter.clockSet);
}

// Another model's device block, and its sensors only: those of the model
// before that this one lacks are removed, or Home Assistant would keep
// entities whose readings never come.
void MqttPublisher::Announce(Published& meter, const std::vector<std::string>& keys) {
  for (const std::string& key : meter.keys)
    if (std::find(keys.begin(), keys.end(), key) == keys.end()) meter.removed.push_back(key);
  std::erase_if(meter.removed, [&](const std::string& key) { return std::find(keys.begin(), keys.end(), key) != keys.end(); });
  meter.keys = keys;
  meter.announced = true;
  if (!settings_.discovery) return;
  PublishAll(DiscoveryRemovals(settings_, meter.info, meter.removed));
  PublishAll(DiscoveryMessages(settings_, meter.info, keys));
  PublishClockDiscovery(meter.info);
}

// A QM4C's buttons and last action (--mqtt-commands) and its clock's drift
// (that or --keep-clock).
void MqttPublisher::PublishClockDiscovery(const Meter& info) {
  if (info.model != ModelQM4C) return;
  if (commands_ != nullptr) PublishAll(ActionDiscovery(settings_, info, syncLog_));
  if (commands_ != nullptr || settings_.clockDrift) PublishAll(ClockDriftDiscovery(settings_, info));
}

void MqttPublisher::MeterFound(const Meter& info) {
  std::lock_guard<std::mutex> hold(mutex_);
  Published& meter = meters_[MeterId(info)];
  meter.info = info;
  meter.announced = false;  // another model: announced again at its first state
}

// Discovery waits for the first state: the readings a model gives are what
// its poll read.
void MqttPublisher::State(const Meter& info, const MeterState& polled) {
  const std::string state = StateJson(info, polled);
  std::lock_guard<std::mutex> hold(mutex_);
  Published& meter = meters_[MeterId(info)];
  meter.state = state;
  std::vector<std::string> keys;
  const PollFields& fields = polled.fields;
  for (int pair = 0; pair < fields.pairsRead; ++pair)
    if (QuantityOfKey(PairLabel(pair)) != nullptr) keys.push_back(PairLabel(pair));
  if (!meter.announced || keys != meter.keys) Announce(meter, keys);
  Publish(Topic(MeterId(info), "state"), state);
}

void MqttPublisher::Availability(const Meter& info, bool online) {
  std::lock_guard<std::mutex> hold(mutex_);
  meters_[MeterId(info)].online = online;
  Publish(Topic(MeterId(info), "availability"), online ? "online" : "offline");
}

void MqttPublisher::ClockSet(const Meter& info, const ClockSetting& setting) {
  std::lock_guard<std::mutex> hold(mutex_);
  std::string& payload = meters_[MeterId(info)].clockSet;
  payload = setting.Json();
  Publish(Topic(MeterId(info), "clock-set"), payload);
}

void MqttPublisher::ActionDone(const Meter& info, const ActionOutcome& outcome) {
  std::lock_guard<std::mutex> hold(mutex_);
  std::string& payload = meters_[MeterId(info)].action;
  payload = outcome.Json();
  Publish(Topic(MeterId(info), "action"), payload);
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
  connectedAt_ = std::chrono::steady_clock::now();
  if (quickDrops_ == 0) Say("MQTT broker " + host_ + ":" + std::to_string(port_) + " connected");
  std::lock_guard<std::mutex> hold(mutex_);
  connected_ = true;
  unacknowledged_ = 0;
  Publish(Topic(busId_, "availability"), "online");
  for (const auto& [id, meter] : meters_) PublishMeter(meter);
  if (commands_ != nullptr) {
    const std::string commands = settings_.prefix + "/" + busId_ + "/command/+/+";
    mosquitto_subscribe(client_, nullptr, commands.c_str(), kQos);
  }
}

void MqttPublisher::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  const auto* bytes = static_cast<const char*>(message->payload);
  const std::string payload = bytes == nullptr ? "" : std::string(bytes, static_cast<size_t>(message->payloadlen));
  static_cast<MqttPublisher*>(self)->Heard(message->topic, payload, message->retain);
}

// On the network thread: only handed over. A retained command (left on the
// broker by someone) would run again at every connect, and clearing one
// sends an empty payload: only the buttons' own payload presses them.
void MqttPublisher::Heard(const std::string& topic, const std::string& payload, bool retained) {
  const std::string head = settings_.prefix + "/" + busId_ + "/command/";
  const size_t slash = topic.rfind(head, 0) == 0 ? topic.find('/', head.size()) : std::string::npos;
  const std::string address = slash == std::string::npos ? "" : topic.substr(head.size(), slash - head.size());
  const std::optional<ActionKind> kind =
      slash == std::string::npos ? std::nullopt : ActionOfName(std::string_view(topic).substr(slash + 1));
  if (!kind || address.empty() || address.size() > 3 || address.find_first_not_of("0123456789") != std::string::npos)
    return commands_->Refuse(CommandOutcome::Malformed, "MQTT", "MQTT: " + topic + " is no command of this monitor");
  if (retained || payload != kPress)
    return commands_->Refuse(CommandOutcome::Ignored, "MQTT",
                             "MQTT: " + topic + " ignored: " +
                                 (retained ? "a retained command" : "its payload is not " + std::string(kPress)));
  const std::string meterId = MeterId(Meter{std::stoi(address), ModelNone, "", busId_});
  if (!Commandable(meterId, *kind))
    return commands_->Refuse(CommandOutcome::UnknownMeter, "MQTT",
                             std::string(ActionName(*kind)) + " asked of " + meterId +
                                 ", which this monitor cannot do");
  commands_->Push({meterId, *kind, "MQTT"});
}

// A QM4C this monitor polls (and, for a log sync, archives).
bool MqttPublisher::Commandable(const std::string& meterId, ActionKind kind) {
  std::lock_guard<std::mutex> hold(mutex_);
  const auto meter = meters_.find(meterId);
  return meter != meters_.end() && meter->second.info.model == ModelQM4C && (kind != ActionKind::SyncLog || syncLog_);
}

void MqttPublisher::OnDisconnect(mosquitto*, void* self, int rc) { static_cast<MqttPublisher*>(self)->Disconnected(rc); }

void MqttPublisher::Disconnected(int rc) {
  const bool wasConnected = connected_.exchange(false);
  if (!wasConnected || rc == 0) return;
  const bool quick = std::chrono::steady_clock::now() - connectedAt_ < kQuickDrop;
  quickDrops_ = quick ? quickDrops_ + 1 : 0;
  if (quickDrops_ <= 1)
    Say("MQTT broker " + host_ + ":" + std::to_string(port_) + " lost; reconnecting");
  if (quickDrops_ == kQuickDropsSaid && !clashSaid_) {
    clashSaid_ = true;
    Say("MQTT broker " + host_ + ":" + std::to_string(port_) +
        " keeps dropping the connection right after accepting it: another client probably uses the same client id (" +
        settings_.clientId + "); give each monitor its own --bus-id (or --mqtt-client-id)");
  }
}

void MqttPublisher::OnPublish(mosquitto*, void* self, int) { --static_cast<MqttPublisher*>(self)->unacknowledged_; }
