#include "sim/options.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "sim/control.h"

const char kHelpText[] =
    "Usage: qm4sim --link PATH [options]\n"
    "       qm4sim --tcp|--mbtcp HOST:PORT [options]\n"
    "Simulates a bus of Orvant QM4 power meters (Modbus RTU slaves) on a pseudo\n"
    "terminal. The terminal's slave side is published as the symbolic link PATH;\n"
    "\"ready PATH\" is printed once a master can open it. SIGINT or SIGTERM ends\n"
    "the simulator (exit 0) and removes the link. With --tcp or --mbtcp the bus\n"
    "is served at a TCP address instead, as an Ethernet gateway serves it: one\n"
    "client at a time, the same meters, pacing and faults; \"ready tcp://HOST:PORT\"\n"
    "(or mbtcp://) names the port listened at (PORT 0 takes a free one).\n"
    "\n"
    "Options:\n"
    "  --link PATH          where to publish the serial device (required unless\n"
    "                       --tcp or --mbtcp is given)\n"
    "  --tcp HOST:PORT      serve RTU over TCP: the RTU bytes pass unchanged\n"
    "  --mbtcp HOST:PORT    serve Modbus TCP: MBAP frames, the unit id as the\n"
    "                       slave address; a meter's first byte is awaited 500 ms,\n"
    "                       an answer that is no whole frame with a right CRC is\n"
    "                       dropped after 150 ms of quiet (so bad CRC, cut, noise\n"
    "                       and oversize give no answer), and a pause inside an\n"
    "                       answer (the pause fault) splits its MBAP frame into\n"
    "                       two writes as far apart\n"
    "  --meter ADDR:MODEL   a meter at slave address ADDR (1..255), MODEL QM4A,\n"
    "                       QM4B or QM4C; repeatable (default: 3:QM4C)\n"
    "  --baud N             pace answers as a line at N baud: 10 bits a character\n"
    "                       (8N1), each byte written at its time (default: unpaced,\n"
    "                       each answer written at once); and, as a real slave,\n"
    "                       take a request that starts sooner than 3.5 characters\n"
    "                       (11 bits; 1.75 ms above 19200) after the frame before\n"
    "                       for that frame's tail: no answer, a journal line and an\n"
    "                       event say so (with --mbtcp the gateway keeps it)\n"
    "  --echo               hand every byte heard back at once, as a two-wire\n"
    "                       adapter without echo suppression does\n"
    "  --turnaround MS      wait MS ms before answering (default: 5 with --baud,\n"
    "                       else 0)\n"
    "  --prefill N          fill every QM4C log with N entries, one sub-interval\n"
    "                       apart, the newest at the meter's time now\n"
    "  --subinterval S      logging sub-interval in seconds at start (default 900:\n"
    "                       5760 entries are 60 days)\n"
    "  --static             readings stand still (energy too) and the log takes\n"
    "                       no entries of its own: values depend only on the seed\n"
    "                       and the address\n"
    "  --log-sequence       every slot of a QM4C's log entry holds the entry's\n"
    "                       sequence number (1 for the first after the log was\n"
    "                       erased or prefilled, modulo 65536) instead of its\n"
    "                       register's value, so a download shows which logging\n"
    "                       instant each value comes from\n"
    "  --seed N             seed of the simulated loads and log values (default 1)\n"
    "  --fault ADDR:KIND[:ARG]  start with a fault on meter ADDR (kinds below)\n"
    "  --clock-drift ADDR:SECONDS_PER_MINUTE  meter ADDR's clock gains that many\n"
    "                       seconds a minute (loses, when negative; -59..3600)\n"
    "  --random-faults CHANCES  spoil answers at random: a total chance spread\n"
    "                       evenly over badcrc, cut, oversize, wrongaddr,\n"
    "                       wrongfunc, silent, delay (1000 ms) and late (\"0.02\"),\n"
    "                       or a chance per kind (\"badcrc=0.01,late=0.005\")\n"
    "  --fault-seed N       seed of the random faults (default 1)\n"
    "  --journal PATH       write one line per request heard: SEQ SLAVE FUNCTION\n"
    "                       FIRST COUNT FAULT SERVED (the values the answer\n"
    "                       carried before any fault spoiled it)\n"
    "  --help               show this text\n"
    "  --version            show the version\n"
    "\n"
    "Models: QM4A has the energy and power registers (addresses 0..4 and float\n"
    "pairs 256..265), QM4B all readings (0..41, 256..335), QM4C also the clock,\n"
    "logging registers (149..177) and the log window (7999..13758). All have the\n"
    "command register 128, the scale exponents 137..140 and the error word 145.\n"
    "Other registers are answered with exception 2. A QM4C's logging slots start\n"
    "as 1, 2, 3, 6, 8, 9, 26, 261, 262, 0; log window entries not logged yet read 0.\n"
    "Command 16640 erases and restarts the log, 30078 zeroes the kWh.\n"
    "\n"
    "Fault kinds (ARG optional unless noted):\n"
    "  silent          no answer; the request is not heard\n"
    "  oversize[:N]    the answer plus N bytes (default 100) in one burst\n"
    "  noise[:N]       N bytes 0xFF (default 100), then the answer, in one burst\n"
    "  cut[:N]         the answer without its last N bytes (default 3)\n"
    "  exception[:C]   exception code C (default 4) instead of the answer\n"
    "  badcrc          one CRC bit flipped\n"
    "  wrongaddr[:A]   answered as slave A (default: own address + 1)\n"
    "  wrongfunc       function code + 1\n"
    "  badcount        byte count + 2 (reads, identification)\n"
    "  echo            a write's echo with another value (the write is applied)\n"
    "  pause:MS        MS ms of silence in the middle of the answer\n"
    "  delay:MS        MS ms more before the answer\n"
    "  late            the answer held back until the next request, then sent\n"
    "                  ahead of that request's answer\n"
    "  none            no fault\n"
    "\n"
    "Control commands on stdin, one a line; each gets one reply line, \"ok\",\n"
    "\"ok VALUE\" or \"err TEXT\":\n"
    "  set ADDR REGADDR VALUE    set a register (by address; VALUE -32768..65535).\n"
    "                            Meter settings (exponents, error word, logging and\n"
    "                            clock registers, command 128) change as the meter's\n"
    "                            own; any other register is pinned to VALUE\n"
    "  unset ADDR REGADDR|all    release pinned registers\n"
    "  get ADDR REGADDR          ok VALUE: the register as a read gives it\n"
    "  setfloat ADDR REGADDR F   pin the float pair at REGADDR, REGADDR+1 to F\n"
    "  fault ADDR KIND[:ARG] [ARG] [COUNT] [at REGADDR]\n"
    "                            fault the next COUNT requests (0 or none: until\n"
    "                            cleared) to meter ADDR, or only those touching\n"
    "                            REGADDR; pause and delay take ARG as a word too;\n"
    "                            \"fault ADDR none\" clears\n"
    "  prefill ADDR N            erase the log and fill it with N entries\n"
    "  capture ADDR [N]          take N log entries now, as a sub-interval's end\n"
    "  elapse ADDR [N]           N sub-intervals pass at once (static meters too):\n"
    "                            the clock moves on by them and the log takes an\n"
    "                            entry one sub-interval after its newest for each\n"
    "  static ADDR on|off        freeze or release the readings and live logging\n"
    "  clock ADDR YYYY MM DD hh mm ss   set the meter's clock\n"
    "  clock ADDR invalid        its clock reads 0xFFFF until written\n"
    "  drift ADDR SECONDS_PER_MINUTE    the clock gains that many seconds a minute\n"
    "                            from now on (0: keeps time again)\n"
    "  idtext ADDR [TEXT]        identify with TEXT (none: the meter's own)\n"
    "  baud N                    pace answers at N baud (0: unpaced)\n"
    "  turnaround MS             wait MS ms before each answer\n"
    "  random CHANCES [SEED]     spoil answers at random as --random-faults\n"
    "                            (\"random off\" stops)\n"
    "  gateway late [COUNT]      as a Modbus TCP gateway, hold back the next\n"
    "                            COUNT answers (default 1), each until the next\n"
    "                            request comes in, then send it ahead of that\n"
    "                            request's own\n"
    "  quit                      end the simulator\n"
    "\n"
    "Events on stdout, one a line, as they happen:\n"
    "  event read ADDR FIRST COUNT   a read request to meter ADDR (answered or faulted)\n"
    "  event id ADDR                 a report slave ID request\n"
    "  event write ADDR REGADDR VALUE  a write applied (also broadcast, per meter)\n"
    "  event other ADDR FUNCTION     a request of another function (exception 1)\n";

namespace {

std::optional<long> Number(std::string_view text, long low, long high) { return ParseNumber(text, low, high); }

std::string ParseMeter(std::string_view value, SimOptions* o) {
  const size_t colon = value.find(':');
  const std::optional<long> address = Number(value.substr(0, colon), 1, 255);
  const std::optional<Model> model =
      colon == std::string_view::npos ? std::nullopt : ParseModel(value.substr(colon + 1));
  if (!address || !model) return "bad --meter '" + std::string(value) + "' (want ADDR:QM4A|QM4B|QM4C)";
  for (const MeterSetup& m : o->meters)
    if (m.address == *address) return "two meters at address " + std::to_string(*address);
  MeterSetup setup;
  setup.address = static_cast<int>(*address);
  setup.model = *model;
  o->meters.push_back(setup);
  return "";
}

std::string ParseFault(std::string_view value, SimOptions* o) {
  const size_t colon = value.find(':');
  const std::optional<long> address = Number(value.substr(0, colon), 1, 255);
  if (!address || colon == std::string_view::npos) return "bad --fault '" + std::string(value) + "'";
  std::string error;
  const std::optional<Fault> fault = ParseFaultText(value.substr(colon + 1), &error);
  if (!fault) return "bad --fault '" + std::string(value) + "': " + error;
  o->faults.push_back({static_cast<int>(*address), *fault});
  return "";
}

std::string ParseDrift(std::string_view value, SimOptions* o) {
  const size_t colon = value.find(':');
  const std::optional<long> address = Number(value.substr(0, colon), 1, 255);
  const std::optional<long> seconds =
      colon == std::string_view::npos ? std::nullopt : Number(value.substr(colon + 1), -59, 3600);
  if (!address || !seconds) return "bad --clock-drift '" + std::string(value) + "' (want ADDR:SECONDS_PER_MINUTE)";
  o->drifts.push_back({static_cast<int>(*address), *seconds});
  return "";
}

// Options taking a value; returns "" or an error.
std::string ParseValued(std::string_view name, std::string_view value, SimOptions* o) {
  std::optional<long> n;
  if (name == "--link") {
    o->link = value;
    return value.empty() ? "empty --link" : "";
  }
  if (name == "--tcp" || name == "--mbtcp") {
    o->gateway = name == "--tcp" ? Transport::RtuOverTcp : Transport::ModbusTcp;
    o->gatewayAddress = value;
    return value.empty() ? "empty " + std::string(name) : "";
  }
  if (name == "--meter") return ParseMeter(value, o);
  if (name == "--fault") return ParseFault(value, o);
  if (name == "--clock-drift") return ParseDrift(value, o);
  if (name == "--journal") {
    o->journal = value;
    return value.empty() ? "empty --journal" : "";
  }
  if (name == "--random-faults") {
    std::string error;
    o->randomFaults = value;
    return RandomFaults::Parse(value, 1, &error) ? "" : "bad --random-faults: " + error;
  }
  if (name == "--baud" && (n = Number(value, 0, 4000000))) o->baud = static_cast<int>(*n);
  else if (name == "--turnaround" && (n = Number(value, 0, 60000))) o->turnaroundMs = static_cast<int>(*n);
  else if (name == "--prefill" && (n = Number(value, 0, 10000000))) o->prefill = *n;
  else if (name == "--subinterval" && (n = Number(value, 0, 65535))) o->subInterval = static_cast<int>(*n);
  else if (name == "--seed" && (n = Number(value, 0, 4294967295L))) o->seed = static_cast<uint32_t>(*n);
  else if (name == "--fault-seed" && (n = Number(value, 0, 4294967295L))) o->faultSeed = static_cast<uint32_t>(*n);
  else return "bad value '" + std::string(value) + "' for " + std::string(name);
  return "";
}

}  // namespace

std::string ParseOptions(int argc, const char* const* argv, SimOptions* o) {
  static const std::string_view kValued[] = {"--link",  "--meter", "--baud",          "--turnaround", "--prefill",
                                             "--subinterval", "--seed", "--fault", "--tcp", "--mbtcp",
                                             "--random-faults", "--fault-seed", "--journal", "--clock-drift"};
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::string_view value;
    bool inlineValue = false;
    if (const size_t eq = arg.find('='); arg.substr(0, 2) == "--" && eq != std::string_view::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      inlineValue = true;
    }
    if (arg == "--help" || arg == "--version") {
      (arg == "--help" ? o->help : o->version) = true;
      return "";
    }
    if (arg == "--static" && !inlineValue) {
      o->staticValues = true;
      continue;
    }
    if (arg == "--log-sequence" && !inlineValue) {
      o->sequenceLog = true;
      continue;
    }
    if (arg == "--echo" && !inlineValue) {
      o->echo = true;
      continue;
    }
    bool valued = false;
    for (std::string_view v : kValued) valued = valued || arg == v;
    if (!valued) return "unknown option '" + std::string(argv[i]) + "'";
    if (!inlineValue) {
      if (i + 1 >= argc) return std::string(arg) + " needs a value";
      value = argv[++i];
    }
    if (std::string error = ParseValued(arg, value, o); !error.empty()) return error;
  }
  if (o->link.empty() && o->gateway == Transport::Serial) return "--link PATH is required";
  if (o->meters.empty()) o->meters.push_back(MeterSetup{});
  for (MeterSetup& m : o->meters) {
    m.seed = o->seed;
    m.subInterval = o->subInterval;
    m.staticValues = o->staticValues;
    m.sequenceLog = o->sequenceLog;
  }
  for (const FaultOption& f : o->faults) {
    bool found = false;
    for (const MeterSetup& m : o->meters) found = found || m.address == f.address;
    if (!found) return "--fault names address " + std::to_string(f.address) + ", where no meter is";
  }
  for (const DriftOption& d : o->drifts) {
    const auto m =
        std::find_if(o->meters.begin(), o->meters.end(), [&](const MeterSetup& s) { return s.address == d.address; });
    if (m == o->meters.end()) return "--clock-drift names address " + std::to_string(d.address) + ", where no meter is";
    m->clockDrift = static_cast<double>(d.secondsPerMinute);
  }
  return "";
}
