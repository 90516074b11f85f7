#include "app/launch_options.h"

#include <cstring>

#include "app/standins/command_line.h"
#include "resources/version_info.h"
#include "modbus/port_map.h"

namespace {
bool ApplyPort(PortMap& ports, const char* value, std::string& error) {
  if (value != nullptr && ports.Parse(value)) return true;
  error = std::string("--port wants COMn=PATH (n from 1 to ") + std::to_string(kComPortCount) +
          "), not \"" + (value != nullptr ? value : "") + "\"";
  return false;
}

// What is left once pylax's own options are taken: a request for the usage,
// or an option of two hyphens that nothing takes. Qt's options have one
// hyphen (-platform, -style), as have the framework's flags (-Embedding).
void FindHelpOrUnknownOption(int argc, char** argv, LaunchOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0)
      options.showHelp = true;
    else if (std::strncmp(arg, "--", 2) == 0 && options.unknownOption.empty())
      options.unknownOption = arg;
  }
}
}  // namespace

bool TakeLaunchOptions(int& argc, char** argv, LaunchOptions& options, std::string& error) {
  // A --framing without a value is an error; none at all leaves the choice
  // to the environment.
  const char* framing = nullptr;
  const char* rs485Delays = nullptr;
  LineSettings& line = options.line;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--version") == 0) {
      options.showVersion = true;
    } else if (std::strcmp(arg, "--simulate") == 0) {
      options.simulate = true;
    } else if (std::strcmp(arg, "--port") == 0) {
      if (!ApplyPort(options.ports, i + 1 < argc ? argv[++i] : nullptr, error)) return false;
    } else if (std::strncmp(arg, "--port=", 7) == 0) {
      if (!ApplyPort(options.ports, arg + 7, error)) return false;
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
    } else if (std::strcmp(arg, "--echo") == 0) {
      line.echo = true;
    } else if (std::strcmp(arg, "--rs485") == 0) {
      line.rs485 = true;
    } else if (std::strcmp(arg, "--rs485-delays") == 0) {
      rs485Delays = i + 1 < argc ? argv[++i] : "";
    } else if (std::strncmp(arg, "--rs485-delays=", 15) == 0) {
      rs485Delays = arg + 15;
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  argv[argc] = nullptr;
  if (FindRegistrationSwitch(JoinCommandLine(argc, argv)) == RegistrationSwitch::None)
    FindHelpOrUnknownOption(argc, argv, options);
  if (framing != nullptr && *framing == '\0') {
    error = "--framing wants silence or length";
    return false;
  }
  if (rs485Delays != nullptr && !ParseRs485Delays(rs485Delays, &line, &error)) return false;
  return ChooseFraming(framing != nullptr ? framing : "", &options.framing, &error);
}

std::string VersionText() { return version_info::Text("pylax"); }

std::string UsageText() {
  return "Usage: pylax [--simulate] [--port COMn=PATH]... [--framing silence|length]\n"
         "             [--echo] [--rs485] [--rs485-delays BEFORE,AFTER]\n"
         "       pylax --plot FILE.csv\n"
         "       pylax /RegServer | /UnregServer\n"
         "       pylax -Embedding | -Automation\n"
         "       pylax --version | --help\n"
         "\n"
         "The console of Orvant QM4 power meters: accept the terms, pick the COM port,\n"
         "and the bus is scanned and the first meter found polled every second.\n"
         "\n"
         "  --simulate          simulated meters (qm4sim) on COM1, chosen at start\n"
         "  --port COMn=PATH    COMn (1 to 9) is the serial device PATH, or a gateway:\n"
         "                      tcp://HOST:PORT (RTU over TCP) or mbtcp://HOST:PORT\n"
         "                      (Modbus TCP)\n"
         "  --framing MODE      how a response ends: silence (the default) or length;\n"
         "                      without it PYLAX_FRAMING decides\n"
         "  --echo              the adapter hands back every byte sent (two-wire, no\n"
         "                      echo suppression): each request's echo is checked\n"
         "  --rs485             the kernel's RS-485 mode (RTS driven while sending),\n"
         "                      for a UART with a transceiver; refused where the\n"
         "                      port has none\n"
         "  --rs485-delays BEFORE,AFTER  RTS delays around a request in ms (implies\n"
         "                      --rs485)\n"
         "  --plot FILE.csv     show the plot of a downloaded data file, nothing else\n"
         "  /RegServer          record the registry entries and end (last on the line,\n"
         "                      after / or -); /UnregServer removes them\n"
         "  -Embedding          run without a window until SIGINT or SIGTERM (also\n"
         "                      -Automation)\n"
         "  --version           print the version and end\n"
         "  --help, -h          print this text and end\n"
         "\n"
         "Qt's own options (-platform NAME, -style NAME, -display DISPLAY) are taken too.\n";
}
