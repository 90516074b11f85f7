#include "cli/options.h"

#include <charconv>
#include <cstdio>
#include <map>

#include "modbus/port_map.h"

namespace {
constexpr const char* kVersion = "pylaxctl 2.2.0";
constexpr int kBaudRates[] = {38400, 19200, 9600, 4800, 2400, 1200};
constexpr long kMaxSlave = 255;
constexpr size_t kMaxSlots = 10;

constexpr const char* kToolHelp =
    "Usage: pylaxctl [--port NAME] [--baud N] [--slave N] [--simulate] [--trace] COMMAND ...\n"
    "\n"
    "Talks to Orvant QM4A, QM4B and QM4C power meters as the Modbus RTU master.\n"
    "\n"
    "Options:\n"
    "  --port NAME   COM1: to COM9: through the port map (COMn=PATH maps one to a\n"
    "                device), or a device path; default COM1:\n"
    "  --baud N      38400, 19200, 9600, 4800, 2400 or 1200; default 38400\n"
    "  --slave N     the meter's address; without it addresses 1 to 10 are scanned\n"
    "                and the first meter found is used\n"
    "  --simulate    start qm4sim on a pseudo terminal as COM1: (a QM4C at 3 with a\n"
    "                logged day, a QM4A at 7, a QM4B at 9) and use it\n"
    "  --trace       write each request and response (Send->, Recv->) to stderr\n"
    "  --help        this text; COMMAND --help describes a command\n"
    "  --version     the version\n"
    "\n"
    "Commands:\n"
    "  scan          list the meters that answer\n"
    "  read          the meter's readings\n"
    "  reset-energy  reset the meter's kWh accumulator\n"
    "  set-clock     set the meter's clock from this computer's local time (QM4C)\n"
    "  log show      the logging slots and sub-interval (QM4C)\n"
    "  log start     restart the meter's logging; erases its log (QM4C)\n"
    "  log download  the meter's log into NN-data.csv and log.txt (QM4C)\n"
    "\n"
    "Exit status: 0 success, 1 the meter did not answer or refused, 2 usage,\n"
    "3 port cannot be opened, 4 no meter found, 5 wrong meter model,\n"
    "6 logging not started, 7 download failed, 8 simulator failed.\n";

const std::map<std::string, const char*> kCommandHelp = {
    {"scan",
     "Usage: pylaxctl scan [--start N] [--end N]\n"
     "\n"
     "Asks each address from --start (default 1) to --end (default 10; nothing\n"
     "above 255 is asked) to identify itself and prints one line per meter that\n"
     "answers, \"NN - identification\", in address order.\n"},
    {"read",
     "Usage: pylaxctl read [--json] [--watch [--count N]]\n"
     "\n"
     "Polls the meter once as the console does and prints each value as a label\n"
     "and its text: energy, powers, power factors, voltages and currents (a QM4A\n"
     "gives energy and total power only), and for a QM4C its sub-interval,\n"
     "clock and log status.\n"
     "  --json      one JSON object per poll\n"
     "  --watch     poll once a second until interrupted\n"
     "  --count N   with --watch, stop after N polls\n"},
    {"reset-energy",
     "Usage: pylaxctl reset-energy\n"
     "\n"
     "Resets the meter's kWh accumulator (command 30078 to register 128).\n"},
    {"set-clock",
     "Usage: pylaxctl set-clock\n"
     "\n"
     "Sets the clock of a QM4C from this computer's local time.\n"},
    {"log",
     "Usage: pylaxctl log show|start|download ...\n"
     "\n"
     "The QM4C's data logging; 'pylaxctl log SUBCOMMAND --help' for each.\n"},
    {"log show",
     "Usage: pylaxctl log show\n"
     "\n"
     "Prints the register logged in each of the ten slots with its label, and the\n"
     "sub-interval. The meter does not report whether it logs continuously or\n"
     "once; that is only what the last start told it.\n"},
    {"log start",
     "Usage: pylaxctl log start --slots A,B,... --interval S [--one-shot]\n"
     "\n"
     "Restarts the meter's logging with up to ten register numbers (missing\n"
     "slots are 0, free) and a sub-interval of S seconds (10 to 32767),\n"
     "continuous unless --one-shot. ERASES ALL LOGGED DATA. Loggable: 0-42,\n"
     "146, 155-157, 257-336. Messages go to stderr and log.txt.\n"},
    {"log download",
     "Usage: pylaxctl log download\n"
     "\n"
     "Reads every entry of the ten slots (the meter's log is not changed) into\n"
     "NN-data.csv (NN the meter's address) in the current directory; log.txt\n"
     "there records the steps. A progress bar on a terminal, the messages\n"
     "otherwise.\n"},
};

const std::map<std::string, Command> kCommands = {
    {"scan", Command::Scan},          {"read", Command::Read},           {"reset-energy", Command::ResetEnergy},
    {"set-clock", Command::SetClock}, {"log show", Command::LogShow},    {"log start", Command::LogStart},
    {"log download", Command::LogDownload},
};

ParseOutcome UsageError(const std::string& message) {
  std::fprintf(stderr, "pylaxctl: %s (see pylaxctl --help)\n", message.c_str());
  return {false, ExitCode::Usage};
}

ParseOutcome Printed(const char* text) {
  std::fputs(text, stdout);
  return {false, ExitCode::Success};
}

bool ParseNumber(const std::string& text, long& value) {
  const char* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, value);
  return result.ec == std::errc() && result.ptr == end;
}

bool ParseSlots(const std::string& text, std::vector<unsigned>& slots) {
  slots.clear();
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    long value = 0;
    if (!ParseNumber(text.substr(start, comma - start), value) || value < 0 || value > 0xFFFFFFFFL) return false;
    slots.push_back(static_cast<unsigned>(value));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return slots.size() <= kMaxSlots;
}

bool ValidBaud(long baud) {
  for (int rate : kBaudRates)
    if (rate == baud) return true;
  return false;
}

// Walks the arguments, taking "--name value" and "--name=value" alike.
class ArgumentReader {
 public:
  explicit ArgumentReader(const std::vector<std::string>& args) : args_(args) {}
  bool Done() const { return index_ >= args_.size(); }
  const std::string& Peek() const { return args_[index_]; }
  // The next word's option name (before any '=').
  std::string Next() {
    std::string word = args_[index_++];
    const auto eq = word.find('=');
    if (word.rfind("--", 0) == 0 && eq != std::string::npos) {
      inlineValue_ = word.substr(eq + 1);
      hasInline_ = true;
      return word.substr(0, eq);
    }
    hasInline_ = false;
    return word;
  }
  bool Value(std::string& value) {
    if (hasInline_) {
      value = inlineValue_;
      hasInline_ = false;
      return true;
    }
    if (Done()) return false;
    value = args_[index_++];
    return true;
  }

 private:
  const std::vector<std::string>& args_;
  size_t index_ = 0;
  std::string inlineValue_;
  bool hasInline_ = false;
};

// Returns false with a usage error already printed.
bool ParseGlobalOption(const std::string& name, ArgumentReader& reader, Options& options, ParseOutcome& outcome) {
  std::string value;
  long number = 0;
  if (name == "--simulate") {
    options.simulate = true;
  } else if (name == "--trace") {
    options.trace = true;
  } else if (name == "--port") {
    if (!reader.Value(value) || value.empty()) return outcome = UsageError("--port needs a port name"), false;
    if (value.find('=') != std::string::npos) {
      if (!ParsePortOverride(value)) return outcome = UsageError("--port " + value + ": expected COMn=PATH"), false;
      value = "COM" + std::to_string(ComPortNumber(value.substr(0, value.find('=')))) + ":";
    }
    options.port = value;
  } else if (name == "--baud") {
    if (!reader.Value(value) || !ParseNumber(value, number) || !ValidBaud(number))
      return outcome = UsageError("--baud must be 38400, 19200, 9600, 4800, 2400 or 1200"), false;
    options.baud = static_cast<int>(number);
  } else if (name == "--slave") {
    if (!reader.Value(value) || !ParseNumber(value, number) || number < 1 || number > kMaxSlave)
      return outcome = UsageError("--slave must be an address from 1 to 255"), false;
    options.slave = static_cast<int>(number);
  } else {
    return outcome = UsageError("unknown option " + name), false;
  }
  return true;
}

bool ParseUnsigned(ArgumentReader& reader, const std::string& name, long max, long& number, ParseOutcome& outcome) {
  std::string value;
  if (!reader.Value(value) || !ParseNumber(value, number) || number < 0 || number > max) {
    outcome = UsageError(name + " needs a number from 0 to " + std::to_string(max));
    return false;
  }
  return true;
}

bool ParseCommandOption(const std::string& name, ArgumentReader& reader, Options& options, ParseOutcome& outcome) {
  long number = 0;
  std::string value;
  const Command command = options.command;
  if (command == Command::Scan && (name == "--start" || name == "--end")) {
    if (!ParseUnsigned(reader, name, 0xFFFFFFFFL, number, outcome)) return false;
    (name == "--start" ? options.scanStart : options.scanEnd) = static_cast<unsigned>(number);
  } else if (command == Command::Read && name == "--json") {
    options.json = true;
  } else if (command == Command::Read && name == "--watch") {
    options.watch = true;
  } else if (command == Command::Read && name == "--count") {
    if (!ParseUnsigned(reader, name, 1000000000L, number, outcome)) return false;
    if (number == 0) return outcome = UsageError("--count must be at least 1"), false;
    options.count = number;
  } else if (command == Command::LogStart && name == "--slots") {
    if (!reader.Value(value) || !ParseSlots(value, options.slots))
      return outcome = UsageError("--slots needs up to ten register numbers separated by commas"), false;
  } else if (command == Command::LogStart && name == "--interval") {
    if (!ParseUnsigned(reader, name, 0xFFFFFFFFL, number, outcome)) return false;
    options.interval = number;
  } else if (command == Command::LogStart && name == "--one-shot") {
    options.oneShot = true;
  } else {
    return ParseGlobalOption(name, reader, options, outcome);
  }
  return true;
}

ParseOutcome CheckCommandOptions(const Options& options) {
  if (options.count != 0 && !options.watch) return UsageError("--count goes with --watch");
  if (options.command == Command::LogStart && (options.slots.empty() || options.interval < 0))
    return UsageError("log start needs --slots and --interval");
  return {true, ExitCode::Success};
}
}  // namespace

ParseOutcome ParseCommandLine(const std::vector<std::string>& args, Options& options) {
  ArgumentReader reader(args);
  ParseOutcome outcome;
  std::string commandName;
  while (!reader.Done() && reader.Peek().rfind("-", 0) == 0) {
    const std::string name = reader.Next();
    if (name == "--help" || name == "-h") return Printed(kToolHelp);
    if (name == "--version") return Printed((std::string(kVersion) + "\n").c_str());
    if (!ParseGlobalOption(name, reader, options, outcome)) return outcome;
  }
  if (reader.Done()) return UsageError("no command given");
  commandName = reader.Next();
  if (commandName == "log" && !reader.Done() && reader.Peek().rfind("-", 0) != 0)
    commandName += " " + reader.Next();
  const auto command = kCommands.find(commandName);
  if (command == kCommands.end() && commandName != "log") return UsageError("unknown command " + commandName);
  while (!reader.Done()) {
    const std::string name = reader.Next();
    if (name == "--help" || name == "-h") return Printed(kCommandHelp.at(commandName));
    if (command == kCommands.end()) return UsageError("log needs show, start or download");
    options.command = command->second;
    if (!ParseCommandOption(name, reader, options, outcome)) return outcome;
  }
  if (command == kCommands.end()) return UsageError("log needs show, start or download");
  options.command = command->second;
  return CheckCommandOptions(options);
}
