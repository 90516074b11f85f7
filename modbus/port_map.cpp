#include "modbus/port_map.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <string>

#include "modbus/gateway.h"

namespace {

// ttyUSB*, then ttyACM*, then ttyS*, each numerically: a USB adapter, the
// usual RS-485 link in the field, comes first.
const char* const kDeviceFamilies[] = {"ttyUSB", "ttyACM", "ttyS"};

bool HasNumericSuffix(const std::string& name, const std::string& family, long* number) {
  if (name.size() <= family.size() || name.compare(0, family.size(), family) != 0) return false;
  const std::string digits = name.substr(family.size());
  if (!std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); })) return false;
  *number = std::strtol(digits.c_str(), nullptr, 10);
  return true;
}

std::vector<std::string> DevicesOfFamily(const std::string& family) {
  std::vector<std::pair<long, std::string>> found;
  if (DIR* dir = ::opendir("/dev")) {
    while (const dirent* entry = ::readdir(dir)) {
      long number = 0;
      if (HasNumericSuffix(entry->d_name, family, &number)) found.emplace_back(number, entry->d_name);
    }
    ::closedir(dir);
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> paths;
  for (const auto& [number, name] : found) paths.push_back("/dev/" + name);
  return paths;
}

}  // namespace

std::string ByIdName(const std::string& device) {
  const std::string byId = "/dev/serial/by-id";
  std::string result;
  if (DIR* dir = ::opendir(byId.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      char target[PATH_MAX];
      const std::string link = byId + "/" + entry->d_name;
      if (::realpath(link.c_str(), target) && device == target) {
        result = entry->d_name;
        break;
      }
    }
    ::closedir(dir);
  }
  return result;
}

int ComPortNumber(const std::string& name) {
  std::string upper = name;
  std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
  if (upper.size() == 5 && upper.back() == ':') upper.pop_back();
  if (upper.size() != 4 || upper.compare(0, 3, "COM") != 0) return 0;
  const char digit = upper[3];
  return (digit >= '1' && digit <= '9') ? digit - '0' : 0;
}

void PortMap::Set(int comNumber, const std::string& path) {
  if (comNumber >= 1 && comNumber <= kComPortCount) overrides_[static_cast<size_t>(comNumber)] = path;
}

bool PortMap::Parse(const std::string& text) {
  const auto eq = text.find('=');
  if (eq == std::string::npos || eq + 1 >= text.size()) return false;
  const int number = ComPortNumber(text.substr(0, eq));
  if (number == 0) return false;
  Set(number, text.substr(eq + 1));
  return true;
}

std::vector<std::string> SerialDevices() {
  std::vector<std::string> all;
  for (const char* family : kDeviceFamilies) {
    const auto paths = DevicesOfFamily(family);
    all.insert(all.end(), paths.begin(), paths.end());
  }
  return all;
}

std::string PortMap::Resolve(const std::string& name) const {
  const int number = ComPortNumber(name);
  // "COM0:" and other names that look like a COM port but are none map to
  // nothing; anything without the COM form is a device path.
  if (number == 0) {
    const bool looksLikeCom = name.size() >= 3 && (name.compare(0, 3, "COM") == 0 || name.compare(0, 3, "com") == 0);
    return looksLikeCom ? "" : name;
  }
  if (const std::string& mapped = overrides_[static_cast<size_t>(number)]; !mapped.empty()) return mapped;
  const std::string variable = "PYLAX_COM" + std::to_string(number);
  if (const char* fromEnv = std::getenv(variable.c_str()); fromEnv && *fromEnv) return fromEnv;
  const auto devices = SerialDevices();
  return number <= static_cast<int>(devices.size()) ? devices[number - 1] : "";
}

std::string PortMap::Description(int comNumber) const {
  const std::string device = Resolve("COM" + std::to_string(comNumber) + ":");
  if (device.empty()) return "not present";
  if (TransportOf(device) != Transport::Serial) return device;  // a gateway's address says it all
  char real[PATH_MAX];
  const std::string resolved = ::realpath(device.c_str(), real) ? real : device;
  const std::string byId = ByIdName(resolved);
  return byId.empty() ? device : device + " (" + byId + ")";
}
