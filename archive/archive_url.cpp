#include "archive/archive_url.h"

#include <cstdlib>
#include <string>
#include <filesystem>

#include "archive/influx_store.h"
#include "modbus/host_port.h"

namespace {
constexpr int kInfluxDefaultPort = 8086;
constexpr const char* kSqliteScheme = "sqlite:";

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// influx[s]://HOST[:PORT]/DATABASE into settings; "" or why not.
std::string ParseInflux(const std::string& url, InfluxSettings& settings) {
  settings.tls = StartsWith(url, "influxs://");
  const std::string rest = url.substr(settings.tls ? 10 : 9);
  const size_t slash = rest.find('/');
  const std::string authority = rest.substr(0, slash);
  if (authority.find('@') != std::string::npos)
    return "an archive URL takes no user or password: give --influx-user, and the password in "
           "--influx-password-file or PYLAX_INFLUX_PASSWORD";
  settings.database = slash == std::string::npos ? "" : rest.substr(slash + 1);
  HostPort parts;
  std::string problem;
  if (!ParseHostPort(authority, &parts, &problem, std::to_string(kInfluxDefaultPort)))
    return url + " is not influx://HOST[:PORT]/DATABASE: " + problem;
  settings.host = parts.host;
  settings.port = std::stoi(parts.port);
  if (settings.host.empty() || settings.database.empty() || settings.database.find('/') != std::string::npos)
    return url + " is not influx://HOST[:PORT]/DATABASE";
  return "";
}

std::string SqlitePath(const std::string& url) { return url.substr(std::string(kSqliteScheme).size()); }

std::string Unknown(const std::string& url) {
  return url + " is not an archive: sqlite:PATH, influx://HOST[:PORT]/DATABASE or influxs://HOST[:PORT]/DATABASE";
}
}  // namespace

std::string DefaultArchiveUrl() {
  const char* data = std::getenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  const std::string base = data != nullptr && *data != '\0' ? data : std::string(home != nullptr ? home : ".") + "/.local/share";
  return std::string(kSqliteScheme) + base + "/pylax/archive.sqlite";
}

std::unique_ptr<ArchiveStore> OpenArchive(const std::string& url, const ArchiveAccess& access, std::string* error) {
  if (StartsWith(url, "influx://") || StartsWith(url, "influxs://")) {
    InfluxSettings settings;
    settings.port = kInfluxDefaultPort;
    *error = ParseInflux(url, settings);
    if (!error->empty()) return nullptr;
    settings.caFile = access.influxCaFile;
    settings.user = access.influxUser;
    settings.password = access.influxPassword;
    settings.stop = access.stop;
    return std::make_unique<InfluxStore>(url, settings);
  }
  if (!StartsWith(url, kSqliteScheme) || SqlitePath(url).empty()) {
    *error = Unknown(url);
    return nullptr;
  }
  const std::filesystem::path path = SqlitePath(url);
  std::error_code ignored;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ignored);
  auto store = std::make_unique<SqliteStore>(url, path.string());
  if (!store->Open(true, error)) return nullptr;
  return store;
}

std::unique_ptr<SqliteStore> OpenArchiveForReading(const std::string& url, std::string* error) {
  if (StartsWith(url, "influx://") || StartsWith(url, "influxs://")) {
    *error = "list, export and report read a sqlite: archive; ask InfluxDB for measurements pylax_log and "
             "pylax_readings itself (InfluxQL)";
    return nullptr;
  }
  if (!StartsWith(url, kSqliteScheme) || SqlitePath(url).empty()) {
    *error = Unknown(url);
    return nullptr;
  }
  auto store = std::make_unique<SqliteStore>(url, SqlitePath(url));
  if (!store->Open(false, error)) return nullptr;
  return store;
}
