#include "cli/options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

#include <CLI/CLI.hpp>

#include "modbus/gateway.h"
#include "modbus/host_port.h"
#include "modbus/port_map.h"
#include "modbus/link.h"
#include "monitor/meter_id.h"
#include "monitor/mqtt_publisher.h"
#include "resources/version_info.h"

namespace {
constexpr long kMaxSlave = 255;
constexpr size_t kMaxSlots = 10;
constexpr long kMaxUnsigned = 0xFFFFFFFFL;
constexpr long kMaxCount = 1000000000L;
constexpr size_t kHelpColumn = 16;
constexpr size_t kMaxSecretFile = 4096;

// Help in the order a reader looks for it: the usage line (drawn from the
// options themselves), what the command does, its options, the commands
// under it, then the details.
class HelpFormatter : public CLI::Formatter {
 public:
  HelpFormatter() { column_width(kHelpColumn); }

  std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override {
    std::string help = make_usage(app, name) + "\n" + app->get_description() + "\n" + make_groups(app, mode) +
                       make_subcommands(app, mode);
    if (!app->get_footer().empty()) help += "\n" + app->get_footer() + "\n";
    return help;
  }

  std::string make_usage(const CLI::App* app, std::string name) const override {
    for (const CLI::Option* option : Listed(app))
      if (option->get_needs().empty()) name += " " + OptionUsage(app, option);
    if (!app->get_subcommands({}).empty()) name += " COMMAND ...";
    return "Usage: " + name + "\n";
  }

  // A command's own commands are listed by their whole name ("log show").
  std::string make_subcommands(const CLI::App* app, CLI::AppFormatMode) const override {
    std::ostringstream list;
    for (const CLI::App* command : app->get_subcommands({})) {
      const std::vector<const CLI::App*> nested = command->get_subcommands({});
      if (nested.empty())
        CLI::detail::format_help(list, command->get_name(), command->get_description(), column_width_);
      for (const CLI::App* sub : nested)
        CLI::detail::format_help(list, command->get_name() + " " + sub->get_name(), sub->get_description(),
                                 column_width_);
    }
    return list.str().empty() ? "" : "\nCommands:\n" + list.str();
  }

  // The usage line already says which options are required and which need
  // another; the option's line only names its value.
  std::string make_option_opts(const CLI::Option* option) const override {
    const std::string value = option->get_type_name();
    return value.empty() ? "" : " " + value;
  }

  std::string make_option_desc(const CLI::Option* option) const override {
    const std::string value = option->get_default_str();
    return option->get_description() + (value.empty() ? "" : "; default " + value);
  }

 private:
  // Help and version end the run, so the usage line leaves them out, as it
  // leaves out the hidden options (no group).
  static std::vector<const CLI::Option*> Listed(const CLI::App* app) {
    return app->get_options([app](const CLI::Option* option) {
      return option != app->get_help_ptr() && option != app->get_version_ptr() && !option->get_group().empty();
    });
  }

  // "[--watch [--count N]]": an option that needs another sits inside its
  // brackets; a required one has none.
  std::string OptionUsage(const CLI::App* app, const CLI::Option* option) const {
    std::string text = option->get_name() + make_option_opts(option);
    for (const CLI::Option* other : Listed(app)) {
      const auto needs = other->get_needs();
      if (std::find(needs.begin(), needs.end(), option) != needs.end()) text += " " + OptionUsage(app, other);
    }
    return option->get_required() ? text : "[" + text + "]";
  }
};

// pylax's text with this program's name; CLI11 adds the last line's end.
std::string VersionText() {
  std::string text = version_info::Text("pylaxctl");
  text.pop_back();
  return text;
}

bool ParseNumber(const std::string& text, long& value) {
  const char* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, value);
  return result.ec == std::errc() && result.ptr == end;
}

// "a, b or c".
std::string OneOf(const std::vector<std::string>& words) {
  std::string text = words.front();
  for (size_t i = 1; i < words.size(); ++i) text += (i + 1 < words.size() ? ", " : " or ") + words[i];
  return text;
}

std::string BaudRates() {
  std::vector<std::string> rates;
  for (int rate : kBaudRates) rates.push_back(std::to_string(rate));
  return OneOf(rates);
}

// A decimal number that `accepts` takes. It is written back plainly because
// CLI11's own conversion reads "010" as octal.
CLI::Validator Decimal(const std::function<bool(long)>& accepts, const std::string& message) {
  return CLI::Validator(
      [=](std::string& text) {
        long value = 0;
        if (!ParseNumber(text, value) || !accepts(value)) return message;
        text = std::to_string(value);
        return std::string();
      },
      "");
}

CLI::Validator Whole(long min, long max, const std::string& message) {
  return Decimal([=](long value) { return value >= min && value <= max; }, message);
}

// A decimal fraction from min to max. CLI11's own conversion takes nan,
// inf and hexadecimal ("0x10" as 16), and its range check lets nan through.
CLI::Validator Fraction(double min, double max) {
  const auto text = [](double value) {
    char digits[32];
    return std::string(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
  };
  const std::string message = "needs a decimal number from " + text(min) + " to " + text(max);
  return CLI::Validator(
      [=](std::string& given) {
        double value = 0;
        const char* end = given.data() + given.size();
        const auto result = std::from_chars(given.data(), end, value, std::chars_format::fixed);
        // nan and inf fail the range as well.
        const bool fits = result.ec == std::errc() && result.ptr == end && value >= min && value <= max;
        return fits ? std::string() : message;
      },
      "");
}

CLI::Validator NumberUpTo(long max) { return Whole(0, max, "needs a number from 0 to " + std::to_string(max)); }

CLI::Validator BaudRate() {
  return Decimal([](long baud) { return baud == static_cast<int>(baud) && IsOfferedBaudRate(static_cast<int>(baud)); },
                 "must be " + BaudRates());
}

// Why a gateway's address (tcp://HOST:PORT, mbtcp://HOST:PORT) can never be
// connected to; "" for one that can, and for any other name. Said at once:
// the monitor would otherwise try it every 5 s for ever.
std::string GatewayProblem(const std::string& name) {
  if (TransportOf(name) == Transport::Serial) return "";
  HostPort parts;
  std::string problem;
  if (ParseHostPort(name.substr(name.find("://") + 3), &parts, &problem)) return "";
  return name + " is no gateway address (tcp://HOST:PORT or mbtcp://HOST:PORT): " + problem;
}

// "COMn=PATH" maps COMn in ports and then names it.
CLI::Validator PortName(PortMap& ports) {
  return CLI::Validator(
      [&ports](std::string& text) {
        if (text.empty()) return std::string("needs a port name");
        const size_t equals = text.find('=');
        if (const std::string problem = GatewayProblem(text.substr(equals == std::string::npos ? 0 : equals + 1));
            !problem.empty())
          return problem;
        if (equals == std::string::npos) return std::string();
        if (!ports.Parse(text)) return text + " is not COMn=PATH";
        text = "COM" + std::to_string(ComPortNumber(text.substr(0, equals))) + ":";
        return std::string();
      },
      "");
}

// A check whose problem function says why a value is refused ("" when not),
// without repeating the value.
CLI::Validator Checked(std::string (*problem)(const std::string&)) {
  return CLI::Validator([problem](std::string& text) { return problem(text); }, "");
}

bool ParseSlots(const std::string& text, std::vector<unsigned>& slots) {
  slots.clear();
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    long value = 0;
    if (!ParseNumber(text.substr(start, comma - start), value) || value < 0 || value > kMaxUnsigned) return false;
    slots.push_back(static_cast<unsigned>(value));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return slots.size() <= kMaxSlots;
}

// A command of the tool; its summary is what the tool's help lists, its
// details close its own help.
CLI::App* AddCommand(CLI::App& parent, const std::string& name, const std::string& summary, const std::string& details,
                     Options& options, Command command) {
  CLI::App* app = parent.add_subcommand(name, summary);
  app->footer(details);
  app->set_help_flag("-h,--help", "this text");
  app->callback([&options, command] { options.command = command; });
  return app;
}

// --start and --end of the addresses a command scans.
void AddScanRange(CLI::App& command, unsigned& start, unsigned& end) {
  command.add_option("--start", start, "the first address asked")
      ->type_name("N")
      ->capture_default_str()
      ->transform(NumberUpTo(kMaxUnsigned));
  command.add_option("--end", end, "the last address asked (nothing above 255 is asked)")
      ->type_name("N")
      ->capture_default_str()
      ->transform(NumberUpTo(kMaxUnsigned));
}

// One line of a config file, read as the whole file is: blank, a comment
// ('#' or ';' first), or name = value with the value bare (up to a '#') or
// in quotes ('...' or "...").
struct ConfigLine {
  bool setting = false;
  std::string name;
  std::string value;
};

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  return first == std::string::npos ? "" : text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The value after '=': bare up to a '#' comment, or in quotes with at most a
// comment after them. False with why not; no problem repeats the value (it
// may be a password).
bool ReadConfigValue(const std::string& text, std::string* value, std::string* problem) {
  const char quote = text.empty() ? '\0' : text.front();
  if (quote != '"' && quote != '\'') {
    *value = Trimmed(text.substr(0, text.find('#')));
    if (value->find_first_of("\"'") == std::string::npos) return true;
    *problem = "a quote inside a value that does not start with one (put the whole value in quotes)";
    return false;
  }
  const size_t close = text.find(quote, 1);
  const std::string after = close == std::string::npos ? "" : Trimmed(text.substr(close + 1));
  if (close == std::string::npos)
    *problem = "the value's quote is not closed";
  else if (!after.empty() && after.front() != '#')
    *problem = "something follows the value's closing quote";
  else
    *value = text.substr(1, close - 1);
  return problem->empty();
}

// False with why the line is none of those.
bool ReadConfigLine(const std::string& text, ConfigLine* line, std::string* problem) {
  const std::string trimmed = Trimmed(text);
  *line = {};
  if (trimmed.empty() || trimmed.front() == '#' || trimmed.front() == ';') return true;
  const size_t equals = trimmed.find('=');
  line->setting = true;
  line->name = Trimmed(trimmed.substr(0, equals));
  if (equals != std::string::npos && !line->name.empty())
    return ReadConfigValue(Trimmed(trimmed.substr(equals + 1)), &line->value, problem);
  *problem = "this line is no \"name = value\"";
  return false;
}

// A service's config file names every option plainly ("port = ...",
// "interval = 5"), the tool's own and the monitor's alike; CLI11 wants the
// monitor's under its name, so they are put there as read. Read strictly, as
// the command line is: a mistyped name or a broken line would otherwise leave
// the default in force without a word.
class FlatConfig : public CLI::ConfigTOML {
 public:
  FlatConfig(const CLI::App& tool, const CLI::App& monitor) : tool_(tool), monitor_(monitor) {}
  std::vector<CLI::ConfigItem> from_config(std::istream& input) const override {
    std::vector<CLI::ConfigItem> items;
    int number = 0;
    for (std::string text; std::getline(input, text);) {
      ++number;
      ConfigLine line;
      std::string problem;
      if (!ReadConfigLine(text, &line, &problem)) Refuse(number, problem);
      if (!line.setting) continue;
      const CLI::App* owner = OwnerOf(line.name);
      if (owner == nullptr) Refuse(number, "unknown option " + line.name);
      CLI::ConfigItem item;
      item.name = line.name;
      if (owner == &monitor_) item.parents = {monitor_.get_name()};
      // A name given again adds its value: CLI11 would take only the
      // first line of a repeatable option (archive), and the last one of
      // any other counts, as on the command line.
      const auto given = std::find_if(items.begin(), items.end(), [&](const CLI::ConfigItem& other) {
        return other.name == item.name && other.parents == item.parents;
      });
      if (given != items.end()) {
        given->inputs.push_back(line.value);
        continue;
      }
      item.inputs = {line.value};
      items.push_back(item);
    }
    return items;
  }

 private:
  // The command whose option name is, nullptr for none (--config itself,
  // --help and --version are no settings).
  const CLI::App* OwnerOf(const std::string& name) const {
    const CLI::Option* option = tool_.get_option_no_throw("--" + name);
    if (option != nullptr)
      return option == tool_.get_config_ptr() || option == tool_.get_help_ptr() || option == tool_.get_version_ptr()
                 ? nullptr
                 : &tool_;
    option = monitor_.get_option_no_throw("--" + name);
    return option == nullptr || option == monitor_.get_help_ptr() ? nullptr : &monitor_;
  }

  // "FILE:LINE: problem", as a compiler names a place.
  [[noreturn]] void Refuse(int number, const std::string& problem) const {
    throw CLI::ConfigError(tool_.get_config_ptr()->as<std::string>() + ":" + std::to_string(number) + ": " + problem);
  }

  const CLI::App& tool_;
  const CLI::App& monitor_;
};

// How an InfluxDB archive is reached: log sync and the monitor.
void AddInfluxAccess(CLI::App& command, ArchiveOptions& archive) {
  command.add_option("--influx-user", archive.influxUser, "the InfluxDB user")->type_name("NAME");
  command.add_option("--influx-password-file", archive.influxPasswordFile, "a file whose first line is the password")
      ->type_name("FILE")
      ->check(CLI::Validator(CLI::ExistingFile).description(""));
  command.add_option("--influx-ca-file", archive.influxCaFile, "influxs: the CA of the server's certificate")
      ->type_name("FILE")
      ->check(CLI::Validator(CLI::ExistingFile).description(""));
}

void DefineMonitor(CLI::App& app, Options& options) {
  MonitorOptions& monitor = options.monitor;
  CLI::App* command = AddCommand(
      app, "monitor", "poll every meter of the bus, always, for MQTT, Prometheus, a web page or a pipe",
      "Scans --start to --end, then polls every meter found, one after the other,\n"
      "every --interval seconds (a round that takes longer is followed at once and\n"
      "counted as an overrun); a meter is offline after 3 failed polls in a row.\n"
      "The range is scanned again every --rescan-minutes and on SIGHUP. A port that\n"
      "is missing or goes away is tried again every 5 s. SIGTERM or SIGINT end it\n"
      "(exit 0). Framing is length unless --framing or PYLAX_FRAMING say otherwise.\n"
      "--config FILE takes any option from a file of \"name = value\" lines. The\n"
      "MQTT password comes from --mqtt-password-file, the systemd credential\n"
      "mqtt-password ($CREDENTIALS_DIRECTORY), or PYLAX_MQTT_PASSWORD, never from\n"
      "the command line. --archive: each QM4C's new log entries are synced between\n"
      "rounds, one meter at a time, every --archive-every minutes. --http serves a\n"
      "page of the bus and its meters, live, with a JSON API (/api/meters); with\n"
      "the same address as --prometheus, /metrics beside it. Its password (user\n"
      "pylax) comes from --http-password-file or the credential http-password.",
      options, Command::Monitor);
  AddScanRange(*command, monitor.start, monitor.end);
  command->add_option("--interval", monitor.interval, "seconds from one round of polls to the next")
      ->type_name("S")
      ->capture_default_str()
      ->check(Fraction(0.1, 86400.0));
  command->add_option("--rescan-minutes", monitor.rescanMinutes, "minutes between scans (0: only on SIGHUP)")
      ->type_name("M")
      ->capture_default_str()
      ->check(Fraction(0.0, 10080.0));
  command->add_option("--mqtt", monitor.mqtt.url, "publish to the broker at mqtt://HOST[:PORT] or mqtts://HOST[:PORT]")
      ->type_name("URL");
  command->add_option("--mqtt-ca-file", monitor.mqtt.caFile, "mqtts: the CA of the broker's certificate")
      ->type_name("FILE")
      ->check(CLI::Validator(CLI::ExistingFile).description(""));
  command->add_option("--mqtt-client-id", monitor.mqtt.clientId, "the MQTT client id; default pylax-BUS (the bus id)")
      ->type_name("ID");
  command->add_option("--mqtt-user", monitor.mqtt.user, "the MQTT user name")->type_name("NAME");
  command->add_option("--mqtt-password-file", "a file whose first line is the MQTT password")
      ->type_name("FILE")
      ->check(CLI::Validator(CLI::ExistingFile).description(""));
  // Kept for config files of earlier versions; see RefuseUnknownOptions.
  command->add_option("--mqtt-password", monitor.mqtt.password)->group("");
  command->add_option("--mqtt-prefix", monitor.mqtt.prefix, "the first level(s) of every topic")
      ->type_name("PREFIX")
      ->capture_default_str()
      ->check(Checked(TopicPrefixProblem));
  command->add_option("--ha-discovery-prefix", monitor.mqtt.discoveryPrefix, "Home Assistant's discovery prefix")
      ->type_name("PREFIX")
      ->capture_default_str()
      ->check(Checked(TopicPrefixProblem));
  command->add_flag_function(
      "--no-ha-discovery", [&monitor](std::int64_t) { monitor.mqtt.discovery = false; },
      "publish no Home Assistant discovery");
  command->add_flag("--mqtt-commands", monitor.mqtt.commands,
                    "give each QM4C Home Assistant buttons (set clock; sync log now\n"
                    "with --archive) and run what their command topics bring");
  command->add_option("--prometheus", monitor.prometheus, "serve GET /metrics at ADDR:PORT (e.g. 127.0.0.1:9464)")
      ->type_name("ADDR:PORT");
  command->add_flag("--json", monitor.json, "each state object as one line on stdout");
  command->add_option("--http", monitor.http, "serve the page, /events and /api at ADDR:PORT (a bare PORT:\n"
                                             "127.0.0.1)")
      ->type_name("ADDR:PORT");
  command->add_option("--http-password-file", monitor.httpPasswordFile,
                      "a file whose first line is the page's password (user pylax)")
      ->type_name("FILE")
      ->check(CLI::Validator(CLI::ExistingFile).description(""));
  command->add_option("--gateway", monitor.gateway.address,
                      "serve the bus to other masters as a Modbus TCP gateway at\n"
                      "ADDR:PORT (a bare PORT: 127.0.0.1; the unit id is the meter's\n"
                      "address); no authentication: keep it on the loopback or\n"
                      "behind a firewall")
      ->type_name("ADDR:PORT");
  command->add_option("--gateway-cache", monitor.gateway.cacheSeconds,
                      "answer a gateway read within a block the monitor read at most\n"
                      "S seconds ago from that read, without the line (0: never)")
      ->type_name("S")
      ->capture_default_str()
      ->check(Fraction(0.0, 3600.0));
  command->add_flag("--gateway-writes", monitor.gateway.writes,
                    "let the gateway's clients write registers (function 6)");
  command->add_option("--archive", options.archive.urls,
                      "sync each QM4C's log into this archive (repeatable): sqlite:PATH,\n"
                      "influx://HOST[:PORT]/DATABASE or influxs://...")
      ->type_name("URL")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  command->add_option("--archive-every", monitor.archiveEveryMinutes, "minutes from one sync of a meter's log to the next")
      ->type_name("M")
      ->capture_default_str()
      ->check(Fraction(0.01, 10080.0));
  command->add_option("--archive-readings", monitor.archiveReadingsMinutes,
                      "minutes from one kept reading of a meter's energy counters to\n"
                      "the next (every meter; 0: none kept)")
      ->type_name("MINUTES")
      ->capture_default_str()
      ->check(Fraction(0.0, 10080.0));
  command->add_option("--keep-clock", monitor.keepClockSeconds,
                      "set a QM4C's clock from this computer's when it is off by more\n"
                      "than S seconds three rounds in a row (at most once an hour)")
      ->type_name("S")
      ->check(Fraction(1.0, 86400.0));
  AddInfluxAccess(*command, options.archive);
  app.config_formatter(std::make_shared<FlatConfig>(app, *command));
}

// The archive's options: log sync writes to the archives, archive list and
// export read one back. A password never stands on the command line.
void AddArchiveUrls(CLI::App& command, ArchiveOptions& archive, bool repeatable) {
  CLI::Option* option = command.add_option("--archive", archive.urls,
                                           repeatable ? "an archive to write to (repeatable): sqlite:PATH,\n"
                                                        "influx://HOST[:PORT]/DATABASE or influxs://...; default\n"
                                                        "sqlite:$XDG_DATA_HOME/pylax/archive.sqlite"
                                                      : "the archive to read, sqlite:PATH; default\n"
                                                        "sqlite:$XDG_DATA_HOME/pylax/archive.sqlite");
  option->type_name("URL");
  if (repeatable) option->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

void DefineArchive(CLI::App& app, CLI::App& log, Options& options) {
  ArchiveOptions& archive = options.archive;
  CLI::App* sync = AddCommand(log, "sync", "the meter's new log entries into archives (QM4C)",
                              "Reads the log's state and only the entries newer than each archive holds\n"
                              "for this meter and log run (the whole log the first time), and writes them\n"
                              "to every archive given. Says per archive how many entries were new, the\n"
                              "run's span, any gap and any conflict. The meter's log is not changed.\n"
                              "InfluxDB: --influx-user (or PYLAX_INFLUX_USER), the password from\n"
                              "--influx-password-file or PYLAX_INFLUX_PASSWORD.",
                              options, Command::LogSync);
  AddArchiveUrls(*sync, archive, true);
  AddInfluxAccess(*sync, archive);

  CLI::App* command = app.add_subcommand("archive", "the log archive: what it holds, and exports of it");
  CLI::App* list = AddCommand(*command, "list", "the archived meters, log runs, spans, gaps and conflicts",
                              "Lists every meter of the archive with its log runs: sub-interval, slots,\n"
                              "entries, span, conflicts and gaps; and the polled readings the monitor\n"
                              "kept of it. Opens no port.",
                              options, Command::ArchiveList);
  AddArchiveUrls(*list, archive, false);
  CLI::App* exporter = AddCommand(*command, "export", "one log run into a file laid out as NN-data.csv",
                                  "Writes the entries of one meter's log run from --from to --to as a\n"
                                  "download writes NN-data.csv (NN the meter's address; --output - for\n"
                                  "stdout): newest first, an instant without an entry a row of empty fields.\n"
                                  "Times: 2026-12-07, 2026-12-07T12:49[:28], local, or UTC with a final Z.\n"
                                  "Opens no port.",
                                  options, Command::ArchiveExport);
  AddArchiveUrls(*exporter, archive, false);
  exporter->add_option("--meter", archive.meter, "the meter's id (BUS_ADDRESS); needed when several")->type_name("ID");
  exporter->add_option("--from", archive.from, "the oldest instant exported")->type_name("T");
  exporter->add_option("--to", archive.to, "the newest instant exported")->type_name("T");
  exporter->add_option("--run", archive.run, "the log run; default the newest with entries in the span")
      ->type_name("N")
      ->transform(Whole(1, kMaxCount, "needs a number from 1 to " + std::to_string(kMaxCount)));
  exporter->add_option("--output", archive.output, "the file written; - for stdout")->type_name("FILE");
  CLI::App* report = AddCommand(*command, "report", "what each meter used per hour, day, week or month",
                                "Per meter and period: the kWh counter at its start and end, the\n"
                                "consumption, its source (the meter's log, or the monitor's polled\n"
                                "readings where no log holds a kWh slot) and the share of the period\n"
                                "the data covers. Periods in local time (TZ); default the last full\n"
                                "month by day. Rules in docs/archive.md. Opens no port.",
                                options, Command::ArchiveReport);
  AddArchiveUrls(*report, archive, false);
  report->add_option("--by", archive.by, "the period: hour, day, week or month")
      ->type_name("PERIOD")
      ->capture_default_str()
      ->check(CLI::IsMember({"hour", "day", "week", "month"}));
  report->add_option("--from", archive.from, "the first period's day or instant")->type_name("T");
  report->add_option("--to", archive.to, "the end of the last period")->type_name("T");
  report->add_option("--meter", archive.meter, "one meter's id (BUS_ADDRESS); default every meter")->type_name("ID");
  CLI::Option* csv = report->add_flag("--csv", archive.csv, "one CSV row per meter and period");
  report->add_flag("--json", archive.json, "JSON: every meter with its periods")->excludes(csv);
}

bool KnownOption(const CLI::App& app, const std::string& name) {
  if (app.get_option_no_throw(name) != nullptr) return true;
  for (const CLI::App* command : app.get_subcommands({}))
    if (KnownOption(*command, name)) return true;
  return false;
}

// Command lines show in the process list and the shell's history, and
// CLI11's complaints repeat the arguments they do not expect: an option we
// do not know is refused by its name alone, before CLI11 sees it, as the
// word after a misspelled one (--mqtt-passwrd S3cret) may be a secret.
void RefuseUnknownOptions(const CLI::App& app, const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--") return;
    const std::string name = arg.substr(0, arg.find('='));
    const bool number = name.size() > 1 && (std::isdigit(static_cast<unsigned char>(name[1])) || name[1] == '.');
    if (name.size() < 2 || name[0] != '-' || number) continue;
    if (name == "--mqtt-password")  // kept for config files of earlier versions
      throw CLI::ValidationError(name,
                                 "is taken from --mqtt-password-file, the mqtt-password credential or "
                                 "PYLAX_MQTT_PASSWORD, never from the command line");
    if (!KnownOption(app, name))
      throw CLI::ValidationError(name, "is no option of pylaxctl (its value is not repeated: a secret is never "
                                       "taken from the command line)");
  }
}

// A secret's file: its first line without its line end (LF or CR LF).
// Bounded, as /dev/zero or a log named by mistake would fill the memory; a
// file that cannot be read gives "".
std::string SecretFileLine(const std::string& option, const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text(kMaxSecretFile + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  if (text.size() > kMaxSecretFile)
    throw CLI::ValidationError(option, path + " is larger than " + std::to_string(kMaxSecretFile) +
                                           " bytes; it should hold the password on its first line");
  const size_t end = text.find('\n');
  if (end == std::string::npos) return text;
  text.resize(end > 0 && text[end - 1] == '\r' ? end - 1 : end);
  return text;
}

// A secret from its option's file, else the service's credential of that
// name (LoadCredential=, read as the service's dynamic user may read
// nothing else), else the environment variable; "" when none gives one.
std::string SecretOf(const std::string& option, const std::string& file, const std::string& credential,
                     const char* variable) {
  std::string secret = file.empty() ? "" : SecretFileLine(option, file);
  const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
  if (secret.empty() && credentials != nullptr)
    secret = SecretFileLine("the " + credential + " credential", std::string(credentials) + "/" + credential);
  const char* fromEnvironment = variable == nullptr ? nullptr : std::getenv(variable);
  if (secret.empty() && fromEnvironment != nullptr) secret = fromEnvironment;
  return secret;
}

// A config file's mqtt-password (earlier versions suggested it) stands.
// The page's password has no variable: a file given that holds none is
// refused rather than leave the page open.
void ReadPasswords(CLI::App& app, Options& options) {
  const CLI::Option* mqttFile = app.get_subcommand("monitor")->get_option("--mqtt-password-file");
  MqttSettings& mqtt = options.monitor.mqtt;
  if (mqtt.password.empty())
    mqtt.password = SecretOf("--mqtt-password-file", mqttFile->count() > 0 ? mqttFile->as<std::string>() : "",
                             "mqtt-password", "PYLAX_MQTT_PASSWORD");
  ArchiveOptions& archive = options.archive;
  archive.influxPassword =
      SecretOf("--influx-password-file", archive.influxPasswordFile, "influx-password", "PYLAX_INFLUX_PASSWORD");
  if (options.command != Command::Monitor) return;
  MonitorOptions& monitor = options.monitor;
  monitor.httpPassword = SecretOf("--http-password-file", monitor.httpPasswordFile, "http-password", nullptr);
  if (!monitor.httpPasswordFile.empty() && monitor.httpPassword.empty())
    throw CLI::ValidationError("--http-password-file", monitor.httpPasswordFile + " holds no password on its first line");
}

void DefineCommandLine(CLI::App& app, Options& options) {
  app.formatter(std::make_shared<HelpFormatter>());
  // An option given twice counts as given last; the global options may also
  // follow the command; one command, whose absence RequireCommand reports.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.fallthrough();
  app.require_subcommand(0, 1);
  app.add_option("--port", options.port,
                 "COM1: to COM9: through the port map (COMn=PATH maps one to a\n"
                 "device or an address), a device path, or a gateway's address:\n"
                 "tcp://HOST:PORT (RTU over TCP), mbtcp://HOST:PORT (Modbus TCP)")
      ->type_name("NAME")
      ->capture_default_str()
      ->transform(PortName(options.ports));
  app.add_option("--baud", options.baud, BaudRates())->type_name("N")->capture_default_str()->transform(BaudRate());
  app.add_option("--slave", options.slave,
                 "the meter's address; without it addresses 1 to 10 are scanned\n"
                 "and the first meter found is used")
      ->type_name("N")
      ->transform(Whole(1, kMaxSlave, "must be an address from 1 to " + std::to_string(kMaxSlave)));
  app.add_flag("--simulate", options.simulate,
               "start qm4sim on a pseudo terminal as COM1: (a QM4C at 3 with a\n"
               "logged day, a QM4A at 7, a QM4B at 9) and use it");
  app.add_flag("--trace", options.trace, "write each request and response (Send->, Recv->) to stderr");
  app.add_option("--framing", options.framing,
                 "how a response ends: silence, 35 ms of quiet after it (the\n"
                 "default), or length, as soon as a whole answer with a right\n"
                 "CRC is in (faster); without it PYLAX_FRAMING decides")
      ->type_name("silence|length");
  app.add_flag("--echo", options.link.line.echo,
               "the adapter hands back every byte sent (two-wire, no echo\n"
               "suppression): read each request's echo and check it");
  app.add_flag("--rs485", options.link.line.rs485,
               "switch the port to the kernel's RS-485 mode (RTS driven while\n"
               "sending), for a UART with a transceiver; a port without it is\n"
               "refused");
  app.add_option("--rs485-delays", options.rs485Delays, "RTS delays around each request in ms (implies --rs485)")
      ->type_name("BEFORE,AFTER");
  // Global, so that log sync names a meter in the archive as the monitor of
  // the same bus does.
  app.add_option("--bus-id", options.busId,
                 "the bus's name in meter ids (topics, labels, the archive);\n"
                 "default from --port (with this machine's name for ttyS0,\n"
                 "COM1 and the like)")
      ->type_name("NAME")
      ->check(Checked(BusIdProblem));
  app.set_config("--config", "", "take options from FILE, \"name = value\" a line")->type_name("FILE");
  app.set_help_flag("-h,--help", "this text; COMMAND --help describes a command");  // listed after the options
  app.set_version_flag("--version", VersionText(), "the version");

  CLI::App* scan = AddCommand(app, "scan", "list the meters that answer",
                              "Asks each address from --start to --end to identify itself and prints one\n"
                              "line per meter that answers, \"NN - identification\", in address order.",
                              options, Command::Scan);
  AddScanRange(*scan, options.scanStart, options.scanEnd);

  CLI::App* read = AddCommand(app, "read", "the meter's readings",
                              "Polls the meter once as the console does and prints each value as a label\n"
                              "and its text: energy, powers, power factors, voltages and currents (a QM4A\n"
                              "gives energy and total power only), and for a QM4C its sub-interval,\n"
                              "clock and log status.",
                              options, Command::Read);
  read->add_flag("--json", options.json, "one JSON object per poll");
  CLI::Option* watch = read->add_flag("--watch", options.watch, "poll once a second until interrupted");
  read->add_option("--count", options.count, "with --watch, stop after N polls")
      ->type_name("N")
      ->transform(Whole(1, kMaxCount, "needs a number from 1 to " + std::to_string(kMaxCount)))
      ->needs(watch);

  AddCommand(app, "reset-energy", "reset the meter's kWh accumulator",
             "Resets the meter's kWh accumulator (command 30078 to register 128).", options, Command::ResetEnergy);
  AddCommand(app, "set-clock", "set the meter's clock from this computer's local time (QM4C)", "", options,
             Command::SetClock);

  CLI::App* log = app.add_subcommand("log", "the QM4C's data logging");
  AddCommand(*log, "show", "the logging slots and sub-interval (QM4C)",
             "Prints the register logged in each of the ten slots with its label, and the\n"
             "sub-interval. The meter does not report whether it logs continuously or\n"
             "once; that is only what the last start told it.",
             options, Command::LogShow);
  CLI::App* start = AddCommand(*log, "start", "restart the meter's logging; erases its log (QM4C)",
                               "Restarts the meter's logging. ERASES ALL LOGGED DATA. Messages go to stderr\n"
                               "and log.txt.",
                               options, Command::LogStart);
  start
      ->add_option_function<std::string>(
          "--slots",
          [&options](const std::string& text) {
            if (!ParseSlots(text, options.slots))
              throw CLI::ValidationError("--slots", "needs up to ten register numbers separated by commas");
          },
          "up to ten register numbers (missing slots are 0, free); loggable:\n"
          "0-42, 146, 155-157, 257-336")
      ->type_name("A,B,...")
      ->required();
  start->add_option("--interval", options.interval, "the sub-interval in seconds, 10 to 32767")
      ->type_name("S")
      ->transform(NumberUpTo(kMaxUnsigned))
      ->required();
  start->add_flag("--one-shot", options.oneShot, "log once; without it, continuously");
  AddCommand(*log, "download", "the meter's log into NN-data.csv and log.txt (QM4C)",
             "Reads every entry of the ten slots (the meter's log is not changed) into\n"
             "NN-data.csv (NN the meter's address) in the current directory; log.txt\n"
             "there records the steps. A progress bar on a terminal, the messages\n"
             "otherwise.",
             options, Command::LogDownload);
  DefineArchive(app, *log, options);
  DefineMonitor(app, options);
  // Set after the commands, which would inherit it.
  app.footer(
      "Exit status: 0 success, 1 the meter did not answer or refused, 2 usage,\n"
      "3 port cannot be opened, 4 no meter found, 5 wrong meter model,\n"
      "6 logging not started, 7 download failed, 8 simulator failed,\n"
      "9 monitor cannot serve /metrics or start MQTT, 10 an archive did not take\n"
      "its entries or cannot be read, 11 nothing archived fits, 12 stopped by\n"
      "SIGINT or SIGTERM (a download stopped ends with 7, a logging start with 6).");
}

// CLI11's own check for a missing command comes before, and hides, its
// complaint about an unknown one, so the command is required here, after
// parsing.
void RequireCommand(const CLI::App& app) {
  const CLI::App* given = &app;
  while (!given->get_subcommands().empty()) given = given->get_subcommands().front();
  const std::vector<const CLI::App*> commands = given->get_subcommands({});
  if (commands.empty()) return;
  std::string message = "no command given";
  if (given != &app) {
    std::vector<std::string> names;
    for (const CLI::App* command : commands) names.push_back(command->get_name());
    message = given->get_name() + " needs " + OneOf(names);
  }
  throw CLI::RequiredError(message, CLI::ExitCodes::RequiredError);
}
}  // namespace

ParseOutcome ParseCommandLine(const std::vector<std::string>& args, Options& options) {
  CLI::App app("Talks to Orvant QM4A, QM4B and QM4C power meters as the Modbus RTU master.", "pylaxctl");
  DefineCommandLine(app, options);
  app.failure_message([](const CLI::App*, const CLI::Error& error) {
    return "pylaxctl: " + std::string(error.what()) + " (see pylaxctl --help)\n";
  });
  try {
    RefuseUnknownOptions(app, args);
    app.parse(std::vector<std::string>(args.rbegin(), args.rend()));  // CLI11 takes them last first
    RequireCommand(app);
    ReadPasswords(app, options);
    // The monitor polls many meters: the faster framing unless told.
    if (options.command == Command::Monitor && options.framing.empty() && std::getenv("PYLAX_FRAMING") == nullptr)
      options.framing = FramingName(Framing::Length);
    std::string error;
    if (!ChooseFraming(options.framing, &options.link.framing, &error)) throw CLI::ValidationError(error);
    if (!options.rs485Delays.empty() && !ParseRs485Delays(options.rs485Delays, &options.link.line, &error))
      throw CLI::ValidationError(error);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return {false, status == 0 ? ExitCode::Success : ExitCode::Usage};
  }
  return {true, ExitCode::Success};
}
