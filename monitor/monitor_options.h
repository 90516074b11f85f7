#pragma once
// What `pylaxctl monitor` is told: the range it scans, its rhythm and where
// it publishes.

#include <string>

#include "monitor/modbus_gateway.h"

struct MqttSettings {
  std::string url;      // mqtt://HOST[:PORT] or mqtts://HOST[:PORT]; empty: no MQTT
  std::string caFile;   // mqtts: the CA that signed the broker's certificate
  std::string clientId; // empty: pylax-BUS
  std::string user;
  std::string password; // from a file, the mqtt-password credential, the config file or PYLAX_MQTT_PASSWORD
  std::string prefix = "pylax";
  bool discovery = true;
  std::string discoveryPrefix = "homeassistant";
  bool commands = false;  // --mqtt-commands: Home Assistant's buttons of each QM4C taken
  bool clockDrift = false;  // each QM4C's clock drift as a sensor (--keep-clock or --mqtt-commands)
};

struct MonitorOptions {
  unsigned start = 1;
  unsigned end = 10;
  double interval = 5;       // seconds from the start of one round to the next
  double rescanMinutes = 5;  // 0: only when asked (SIGHUP)
  bool json = false;         // NDJSON state objects on stdout
  std::string prometheus;    // ADDR:PORT of /metrics; empty: none
  std::string http;          // ADDR:PORT of the page; empty: none
  std::string httpPasswordFile;
  std::string httpPassword;  // from the file or the http-password credential; empty: none asked
  double archiveEveryMinutes = 15;  // with archives (the tool's --archive): between syncs of a meter
  double keepClockSeconds = 0;  // --keep-clock: a QM4C's clock set when off by more; 0: left alone
  MqttSettings mqtt;
  GatewaySettings gateway;  // --gateway ADDR:PORT, --gateway-writes
};
