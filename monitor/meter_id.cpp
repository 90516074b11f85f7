#include "monitor/meter_id.h"

#include <limits.h>
#include <unistd.h>

#include <cctype>

#include "modbus/gateway.h"
#include "modbus/host_port.h"
#include "modbus/port_map.h"

namespace {
constexpr const char kDevices[] = "/dev/";
constexpr const char kById[] = "/dev/serial/by-id/";

bool IdCharacter(unsigned char c) { return std::isalnum(c) || c == '-' || c == '_'; }

std::string Sanitized(const std::string& text) {
  std::string id;
  for (const unsigned char c : text) id += IdCharacter(c) ? static_cast<char>(c) : '_';
  return id;
}

bool LoopbackGateway(const std::string& portName) {
  const size_t scheme = portName.find("://");
  std::string host, port;
  return TransportOf(portName) != Transport::Serial && SplitHostPort(portName.substr(scheme + 3), &host, &port) &&
         IsLoopbackHost(host);
}

// ttyS0 on one machine and ttyS0 on the next are two buses.
bool SameOnEveryMachine(const std::string& portName) {
  const bool rightInDev = portName.rfind(kDevices, 0) == 0 && portName.find('/', sizeof kDevices - 1) == std::string::npos;
  return rightInDev || ComPortNumber(portName) != 0 || LoopbackGateway(portName);
}
}  // namespace

std::string BusId(const std::string& portName, const std::string& hostName) {
  std::string name = portName;
  if (name.rfind(kById, 0) == 0)
    name.erase(0, sizeof kById - 1);
  else if (name.rfind(kDevices, 0) == 0)
    name.erase(0, sizeof kDevices - 1);
  if (!name.empty() && name.back() == ':') name.pop_back();
  if (SameOnEveryMachine(portName)) name = hostName.substr(0, hostName.find('.')) + "_" + name;
  return Sanitized(name);
}

std::string HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

std::string BusIdProblem(const std::string& text) {
  if (text.empty()) return "is empty";
  for (const unsigned char c : text)
    if (!IdCharacter(c)) return "may hold only letters, digits, '-' and '_' (it names MQTT topics and Home Assistant ids)";
  return "";
}
