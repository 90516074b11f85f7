#include "monitor/meter_id.h"

#include <limits.h>
#include <stdlib.h>

#include <cctype>

#include "modbus/port_map.h"

namespace {
std::string Sanitized(const std::string& text) {
  std::string id;
  for (const unsigned char c : text) id += std::isalnum(c) || c == '-' || c == '_' ? static_cast<char>(c) : '_';
  return id;
}
}  // namespace

std::string BusId(const std::string& portName) {
  char real[PATH_MAX];
  const std::string device = ResolvePortName(portName);
  if (!device.empty() && ::realpath(device.c_str(), real) != nullptr) {
    const std::string byId = ByIdName(real);
    if (!byId.empty()) return Sanitized(byId);
  }
  std::string name = portName;
  if (name.rfind("/dev/", 0) == 0) name.erase(0, 5);
  if (!name.empty() && name.back() == ':') name.pop_back();
  return Sanitized(name);
}

std::string MeterId(const std::string& busId, int address) { return busId + "_" + std::to_string(address); }
