#include "sim/control.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "sim/tcp_server.h"

namespace {

std::vector<std::string_view> Split(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    size_t j = i;
    while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r') ++j;
    if (j > i) words.push_back(line.substr(i, j - i));
    i = j;
  }
  return words;
}

struct Context {
  SimBus& bus;
  LineOutput& line;
  SimGateway* gateway;
  const std::vector<std::string_view>& w;
  double now;
};

std::string Err(const std::string& text) { return "err " + text; }

// The meter named by word 1, or an error reply in *reply.
SimMeter* MeterArg(const Context& c, std::string* reply) {
  const std::optional<long> address = c.w.size() > 1 ? ParseNumber(c.w[1], 1, 255) : std::nullopt;
  SimMeter* meter = address ? c.bus.Find(static_cast<int>(*address)) : nullptr;
  if (!meter) *reply = Err("no meter at address " + (c.w.size() > 1 ? std::string(c.w[1]) : ""));
  return meter;
}

std::optional<int> RegisterArg(const Context& c, size_t index) {
  if (c.w.size() <= index) return std::nullopt;
  const std::optional<long> r = ParseNumber(c.w[index], 0, 65535);
  return r ? std::optional<int>(static_cast<int>(*r)) : std::nullopt;
}

std::string NoRegister(const SimMeter& meter, int address) {
  return Err("meter " + std::to_string(meter.Address()) + " has no register " + std::to_string(address));
}

std::string CmdSet(const Context& c) {
  std::string reply;
  SimMeter* meter = MeterArg(c, &reply);
  if (!meter) return reply;
  const std::optional<int> address = RegisterArg(c, 2);
  const std::optional<long> value = c.w.size() == 4 ? ParseNumber(c.w[3], -32768, 65535) : std::nullopt;
  if (!address || !value) return Err("usage: set ADDR REGADDR VALUE");
  if (!meter->Exists(*address)) return NoRegister(*meter, *address);
  if (!meter->Set(*address, static_cast<uint16_t>(*value), c.now)) return Err("value out of range");
  return "ok";
}

std::string CmdUnset(const Context& c) {
  std::string reply;
  SimMeter* meter = MeterArg(c, &reply);
  if (!meter) return reply;
  if (c.w.size() == 3 && c.w[2] == "all") {
    meter->UnpinAll();
    return "ok";
  }
  const std::optional<int> address = RegisterArg(c, 2);
  if (!address || c.w.size() != 3) return Err("usage: unset ADDR REGADDR|all");
  return meter->Unpin(*address) ? "ok" : Err("register " + std::to_string(*address) + " is not set");
}

std::string CmdGet(const Context& c) {
  std::string reply;
  SimMeter* meter = MeterArg(c, &reply);
  if (!meter) return reply;
  const std::optional<int> address = RegisterArg(c, 2);
  if (!address || c.w.size() != 3) return Err("usage: get ADDR REGADDR");
  const std::optional<uint16_t> value = meter->Get(*address, c.now);
  return value ? "ok " + std::to_string(*value) : NoRegister(*meter, *address);
}

std::string CmdSetFloat(const Context& c) {
  std::string reply;
  SimMeter* meter = MeterArg(c, &reply);
  if (!meter) return reply;
  const std::optional<int> address = RegisterArg(c, 2);
  if (!address || *address > 65534 || c.w.size() != 4) return Err("usage: setfloat ADDR REGADDR VALUE");
  const std::string text(c.w[3]);
  char* end = nullptr;
  const float value = std::strtof(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0') return Err("bad float '" + text + "'");
  if (!meter->Exists(*address) || !meter->Exists(*address + 1)) return NoRegister(*meter, *address);
  uint32_t bits;
  static_assert(sizeof bits == sizeof value);
  std::memcpy(&bits, &value, sizeof bits);
  meter->Set(*address, static_cast<uint16_t>(bits >> 16), c.now);
  meter->Set(*address + 1, static_cast<uint16_t>(bits & 0xFFFF), c.now);
  return "ok";
}

// fault ADDR KIND[:ARG] [ARG] [COUNT] [at REGADDR]; a separate ARG only for
// the kinds that need one (pause, delay), so "fault 3 silent 2" is two
// silent requests.
std::string CmdFault(const Context& c) {
  std::string reply;
  SimMeter* meter = MeterArg(c, &reply);
  if (!meter) return reply;
  const char* usage = "usage: fault ADDR KIND[:ARG] [ARG] [COUNT] [at REGADDR]";
  if (c.w.size() < 3) return Err(usage);
  std::string faultText(c.w[2]);
  size_t next = 3;
  const std::optional<FaultKind> bare = ParseFaultKind(faultText);
  if (bare && FaultNeedsArg(*bare) && c.w.size() > next) faultText += ":" + std::string(c.w[next++]);
  std::string error;
  std::optional<Fault> fault = ParseFaultText(faultText, &error);
  if (!fault) return Err(error);
  if (c.w.size() > next && c.w[next] != "at") {
    const std::optional<long> count = ParseNumber(c.w[next++], 0, 1000000);
    if (!count) return Err(usage);
    fault->remaining = static_cast<int>(*count);
  }
  if (c.w.size() > next) {
    const std::optional<int> only = c.w[next] == "at" ? RegisterArg(c, next + 1) : std::nullopt;
    if (!only || c.w.size() != next + 2) return Err(usage);
    fault->onlyAddress = *only;
  }
  c.bus.SetFault(meter->Address(), *fault);
  return "ok";
}

std::string CmdPrefill(const Context& c) {
  std::string reply;
  SimMeter* meter = MeterArg(c, &reply);
  if (!meter) return reply;
  const std::optional<long> n = c.w.size() == 3 ? ParseNumber(c.w[2], 0, 10000000) : std::nullopt;
  if (!n) return Err("usage: prefill ADDR N (N 0..10000000)");
  if (meter->GetModel() != Model::QM4C) return Err("meter " + std::string(c.w[1]) + " has no log");
  meter->Prefill(*n, c.now);
  return "ok";
}

// capture and elapse: "NAME ADDR [N]" on a meter with a log; add takes the
// N entries.
std::string CmdLogEntries(const Context& c, const std::function<void(SimMeter&, long)>& add) {
  std::string reply;
  SimMeter* meter = MeterArg(c, &reply);
  if (!meter) return reply;
  const std::optional<long> n = c.w.size() == 2 ? 1 : c.w.size() == 3 ? ParseNumber(c.w[2], 1, 100000) : std::nullopt;
  if (!n) return Err("usage: " + std::string(c.w[0]) + " ADDR [N]");
  if (meter->GetModel() != Model::QM4C) return Err("meter " + std::string(c.w[1]) + " has no log");
  add(*meter, *n);
  return "ok";
}

std::string CmdStatic(const Context& c) {
  std::string reply;
  SimMeter* meter = MeterArg(c, &reply);
  if (!meter) return reply;
  if (c.w.size() != 3 || (c.w[2] != "on" && c.w[2] != "off")) return Err("usage: static ADDR on|off");
  meter->SetStatic(c.w[2] == "on", c.now);
  return "ok";
}

// The rest of the line, words joined by single blanks, becomes the text.
std::string CmdIdText(const Context& c) {
  std::string reply;
  SimMeter* meter = MeterArg(c, &reply);
  if (!meter) return reply;
  std::string text;
  for (size_t i = 2; i < c.w.size(); ++i) text += (i > 2 ? " " : "") + std::string(c.w[i]);
  // 250 bytes keep the answer within its one-byte byte count.
  if (text.size() > 250) return Err("usage: idtext ADDR [TEXT] (at most 250 characters)");
  meter->SetIdentificationText(text);
  return "ok";
}

std::string CmdClock(const Context& c) {
  std::string reply;
  SimMeter* meter = MeterArg(c, &reply);
  if (!meter) return reply;
  if (c.w.size() == 3 && c.w[2] == "invalid") {
    meter->InvalidateClock();
    return "ok";
  }
  if (c.w.size() != 8) return Err("usage: clock ADDR YYYY MM DD hh mm ss|invalid");
  const long low[6] = {2000, 1, 1, 0, 0, 0};
  const long high[6] = {2255, 12, 31, 23, 59, 59};
  long v[6];
  for (int i = 0; i < 6; ++i) {
    const std::optional<long> n = ParseNumber(c.w[2 + i], low[i], high[i]);
    if (!n) return Err("clock field '" + std::string(c.w[2 + i]) + "' out of range");
    v[i] = *n;
  }
  struct tm fields {};
  fields.tm_year = static_cast<int>(v[0] - 1900);
  fields.tm_mon = static_cast<int>(v[1] - 1);
  fields.tm_mday = static_cast<int>(v[2]);
  fields.tm_hour = static_cast<int>(v[3]);
  fields.tm_min = static_cast<int>(v[4]);
  fields.tm_sec = static_cast<int>(v[5]);
  meter->SetClock(fields, c.now);
  return "ok";
}

std::string CmdDrift(const Context& c) {
  std::string reply;
  SimMeter* meter = MeterArg(c, &reply);
  if (!meter) return reply;
  const std::optional<long> seconds = c.w.size() == 3 ? ParseNumber(c.w[2], -59, 3600) : std::nullopt;
  if (!seconds) return Err("usage: drift ADDR SECONDS_PER_MINUTE (-59..3600)");
  meter->SetClockDrift(static_cast<double>(*seconds), c.now);
  return "ok";
}

std::string CmdBaud(const Context& c) {
  const std::optional<long> baud = c.w.size() == 2 ? ParseNumber(c.w[1], 0, 4000000) : std::nullopt;
  if (!baud) return Err("usage: baud N (0: unpaced)");
  c.line.SetBaud(static_cast<int>(*baud));
  return "ok";
}

std::string CmdTurnaround(const Context& c) {
  const std::optional<long> ms = c.w.size() == 2 ? ParseNumber(c.w[1], 0, 60000) : std::nullopt;
  if (!ms) return Err("usage: turnaround MS");
  c.bus.SetTurnaround(static_cast<double>(*ms) / 1000.0);
  return "ok";
}

// random CHANCES [SEED]: the random fault mode, as --random-faults.
std::string CmdRandom(const Context& c) {
  const std::optional<long> seed =
      c.w.size() == 2 ? 1 : c.w.size() == 3 ? ParseNumber(c.w[2], 0, 4294967295L) : std::nullopt;
  if (c.w.size() < 2 || !seed) return Err("usage: random CHANCES [SEED]");
  std::string error;
  const std::optional<RandomFaults> faults = RandomFaults::Parse(c.w[1], static_cast<uint32_t>(*seed), &error);
  if (!faults) return Err(error);
  c.bus.SetRandomFaults(*faults);
  return "ok";
}

// gateway late [COUNT]: the Modbus TCP gateway holds back its next COUNT
// answers (default 1), each until the next request comes in.
std::string CmdGateway(const Context& c) {
  const char* usage = "usage: gateway late [COUNT]";
  if (c.w.size() < 2 || c.w.size() > 3 || c.w[1] != "late") return Err(usage);
  long count = 1;
  if (c.w.size() == 3) {
    const std::optional<long> given = ParseNumber(c.w[2], 0, 1000000);
    if (!given) return Err(usage);
    count = *given;
  }
  if (c.gateway == nullptr || !c.gateway->HoldModbusTcpAnswers(static_cast<int>(count))) return Err("not serving as a Modbus TCP gateway (--mbtcp)");
  return "ok";
}

}  // namespace

std::optional<long> ParseNumber(std::string_view text, long low, long high) {
  int base = 10;
  bool negative = false;
  if (!text.empty() && text[0] == '-') {
    negative = true;
    text.remove_prefix(1);
  }
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (negative) value = -value;
  if (value < low || value > high) return std::nullopt;
  return value;
}

ControlResult ExecuteControl(SimBus& bus, LineOutput& line, SimGateway* gateway, std::string_view command,
                             double now) {
  const std::vector<std::string_view> words = Split(command);
  if (words.empty()) return {Err("empty command")};
  const Context c{bus, line, gateway, words, now};
  const std::string_view name = words[0];
  if (name == "quit") return {"ok", true};
  if (name == "set") return {CmdSet(c)};
  if (name == "unset") return {CmdUnset(c)};
  if (name == "get") return {CmdGet(c)};
  if (name == "setfloat") return {CmdSetFloat(c)};
  if (name == "fault") return {CmdFault(c)};
  if (name == "prefill") return {CmdPrefill(c)};
  if (name == "capture")
    return {CmdLogEntries(c, [&](SimMeter& m, long n) {
      for (long i = 0; i < n; ++i) m.CaptureNow(now);
    })};
  if (name == "elapse") return {CmdLogEntries(c, [&](SimMeter& m, long n) { m.ElapseSubIntervals(n, now); })};
  if (name == "static") return {CmdStatic(c)};
  if (name == "clock") return {CmdClock(c)};
  if (name == "drift") return {CmdDrift(c)};
  if (name == "idtext") return {CmdIdText(c)};
  if (name == "baud") return {CmdBaud(c)};
  if (name == "turnaround") return {CmdTurnaround(c)};
  if (name == "random") return {CmdRandom(c)};
  if (name == "gateway") return {CmdGateway(c)};
  return {Err("unknown command '" + std::string(name) + "'")};
}
