#include "app/launch_options.h"

#include <cstring>

#include "resources/version_info.h"
#include "modbus/port_map.h"
#include "modbus/serial_link.h"

namespace {
bool ApplyPort(const char* value, std::string& error) {
  if (value != nullptr && ParsePortOverride(value)) return true;
  error = std::string("--port wants COMn=PATH (n from 1 to ") + std::to_string(kComPortCount) +
          "), not \"" + (value != nullptr ? value : "") + "\"";
  return false;
}
}  // namespace

bool TakeLaunchOptions(int& argc, char** argv, LaunchOptions& options, std::string& error) {
  // A --framing without a value is an error; none at all leaves the choice
  // to the environment.
  const char* framing = nullptr;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--version") == 0) {
      options.showVersion = true;
    } else if (std::strcmp(arg, "--simulate") == 0) {
      options.simulate = true;
    } else if (std::strcmp(arg, "--port") == 0) {
      if (!ApplyPort(i + 1 < argc ? argv[++i] : nullptr, error)) return false;
    } else if (std::strncmp(arg, "--port=", 7) == 0) {
      if (!ApplyPort(arg + 7, error)) return false;
    } else if (std::strcmp(arg, "--plot") == 0 || std::strncmp(arg, "--plot=", 7) == 0) {
      const char* file = arg[6] == '=' ? arg + 7 : (i + 1 < argc ? argv[++i] : "");
      if (*file == '\0') {
        error = "--plot wants the data file to show";
        return false;
      }
      options.plotFile = file;
    } else if (std::strcmp(arg, "--framing") == 0) {
      framing = i + 1 < argc ? argv[++i] : "";
    } else if (std::strncmp(arg, "--framing=", 10) == 0) {
      framing = arg + 10;
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  argv[argc] = nullptr;
  if (framing != nullptr && *framing == '\0') {
    error = "--framing wants silence or length";
    return false;
  }
  return ChooseFraming(framing != nullptr ? framing : "", &error);
}

std::string VersionText() { return version_info::Text("pylax"); }
