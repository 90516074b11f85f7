#include "modbus/bus_owner.h"

#include <glob.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <utility>
#include <vector>

namespace {

// The file's name: the device's real path ("/dev/ttyUSB0" for its by-id
// link too), slashes made underscores.
std::string FileName(const std::string& device) {
  char real[PATH_MAX];
  std::string name = ::realpath(device.c_str(), real) != nullptr ? real : device;
  for (char& c : name)
    if (c == '/') c = '_';
  return name + ".owner";
}

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Where this process writes: the service's own runtime directory
// (RuntimeDirectory=, /run/pylax-monitor/NAME), else the user's.
std::string OwnDirectory() {
  for (const char* name : {"PYLAX_RUNTIME_DIR", "RUNTIME_DIRECTORY"})
    if (!Environment(name).empty()) return Environment(name);
  const std::string user = Environment("XDG_RUNTIME_DIR");
  const std::string dir = !user.empty() ? user + "/pylax" : "/tmp/pylax-" + std::to_string(::getuid());
  ::mkdir(dir.c_str(), 0700);
  return dir;
}

// Every place a monitor may have written, the services' first.
std::vector<std::string> Candidates(const std::string& file) {
  std::vector<std::string> paths;
  glob_t found{};
  if (::glob(("/run/pylax-monitor/*/" + file).c_str(), 0, nullptr, &found) == 0)
    for (size_t i = 0; i < found.gl_pathc; ++i) paths.push_back(found.gl_pathv[i]);
  ::globfree(&found);
  for (const char* name : {"PYLAX_RUNTIME_DIR", "RUNTIME_DIRECTORY"})
    if (!Environment(name).empty()) paths.push_back(Environment(name) + "/" + file);
  if (!Environment("XDG_RUNTIME_DIR").empty()) paths.push_back(Environment("XDG_RUNTIME_DIR") + "/pylax/" + file);
  paths.push_back("/tmp/pylax-" + std::to_string(::getuid()) + "/" + file);
  return paths;
}

bool Alive(long pid) { return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM); }

}  // namespace

bool AnnounceBusOwner(const std::string& device, const std::string& gatewayAddress) {
  std::ofstream file(OwnDirectory() + "/" + FileName(device), std::ios::trunc);
  file << ::getpid() << "\n" << gatewayAddress << "\n";
  return static_cast<bool>(file);
}

void WithdrawBusOwner(const std::string& device) { ::unlink((OwnDirectory() + "/" + FileName(device)).c_str()); }

namespace {
// The running monitor's pid and its gateway (empty for none) that hold
// device; pid 0 when none does.
std::pair<long, std::string> BusOwner(const std::string& device) {
  for (const std::string& path : Candidates(FileName(device))) {
    std::ifstream file(path);
    long pid = 0;
    std::string gateway;
    if (!(file >> pid) || !Alive(pid)) continue;
    file >> gateway;
    return {pid, gateway};
  }
  return {0, ""};
}
}  // namespace

std::string BusOwnerGateway(const std::string& device) {
  const std::string gateway = BusOwner(device).second;
  return gateway.empty() ? gateway : "mbtcp://" + gateway;
}

std::string BusOwnerText(const std::string& device) {
  const auto [pid, gateway] = BusOwner(device);
  if (pid == 0) return "";
  std::string text = "pylaxctl monitor (pid " + std::to_string(pid) + ")";
  if (!gateway.empty())
    text += ", which serves the bus at mbtcp://" + gateway + ": use --port mbtcp://" + gateway +
            " (COMn=mbtcp://" + gateway + " for the windows)";
  return text;
}
