#include "modbus/link.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "modbus/gateway.h"
#include "modbus/mbap.h"
#include "modbus/mbtcp_backend.h"
#include "modbus/port_map.h"
#include "modbus/rtu_tcp_backend.h"
#include "modbus/serial_backend.h"

namespace {

// Read asks for 20 bytes more than a normal answer and write for 4 more, so
// under the silence framing a response ends by the 35 ms silence after its
// last byte, not by its count.
constexpr int kReadSlack = 25;
constexpr int kWriteAskedFor = 12;
constexpr int kReportSlaveIdAskedFor = 100;

constexpr int kReconnectBackoffFirstMs = 5000;
constexpr int kReconnectBackoffMostMs = 60000;

std::unique_ptr<LinkBackend> MakeBackend(Transport transport, const LinkSettings& settings) {
  switch (transport) {
    case Transport::RtuOverTcp:
      return std::make_unique<RtuOverTcpBackend>(settings);
    case Transport::ModbusTcp:
      return std::make_unique<ModbusTcpBackend>(settings);
    case Transport::Serial:
      break;
  }
  return std::make_unique<SerialBackend>(settings);
}

bool SlaveInRange(int slave) { return slave >= 0 && slave <= 255; }

// A "Note->" line after the response line, when note says something and the
// entry has room for it whole.
void AppendNoteLine(char* entry, const char* note) {
  static constexpr char kPrefix[] = "Note->";
  if (note[0] == '\0') return;
  const size_t used = std::strlen(entry);
  if (used + sizeof kPrefix - 1 + std::strlen(note) + 2 >= static_cast<size_t>(kTraceEntryChars)) return;
  std::snprintf(entry + used, kTraceEntryChars - used, "%s%s\r\n", kPrefix, note);
}

}  // namespace

const char* TraceRing::OldestFirst(int k) const { return entries[(newest + 1 + k) % kTraceEntries]; }

const char* FramingName(Framing framing) { return framing == Framing::Length ? "length" : "silence"; }

bool ParseFraming(const std::string& text, Framing* framing) {
  for (const Framing candidate : {Framing::Silence, Framing::Length}) {
    if (text == FramingName(candidate)) {
      *framing = candidate;
      return true;
    }
  }
  return false;
}

bool ChooseFraming(const std::string& value, Framing* framing, std::string* error) {
  const char* fromEnvironment = value.empty() ? std::getenv("PYLAX_FRAMING") : nullptr;
  const std::string chosen = fromEnvironment != nullptr ? fromEnvironment : value;
  if (chosen.empty()) {
    *framing = Framing::Silence;
    return true;
  }
  if (ParseFraming(chosen, framing)) return true;
  *error = std::string(fromEnvironment != nullptr ? "PYLAX_FRAMING" : "--framing") +
           " wants silence or length, not \"" + chosen + "\"";
  return false;
}

bool ParseRs485Delays(const std::string& text, LineSettings* line, std::string* error) {
  constexpr int kMostMs = 1000;
  int before = -1, after = -1, used = 0;
  const bool whole = std::sscanf(text.c_str(), "%4d,%4d%n", &before, &after, &used) == 2 &&
                     used == static_cast<int>(text.size()) && text.find_first_of(" +-") == std::string::npos;
  if (!whole || before > kMostMs || after > kMostMs) {
    *error = "--rs485-delays wants BEFORE,AFTER in ms (0 to 1000 each), not \"" + text + "\"";
    return false;
  }
  line->rs485 = true;
  line->rs485DelayBeforeMs = before;
  line->rs485DelayAfterMs = after;
  return true;
}

int ReconnectBackoffMs(int failedTries) {
  int backoff = kReconnectBackoffFirstMs;
  for (int k = 1; k < failedTries && backoff < kReconnectBackoffMostMs; ++k) backoff *= 2;
  return std::min(backoff, kReconnectBackoffMostMs);
}

ModbusLink::~ModbusLink() { CloseIfOpen(); }

bool ModbusLink::Open(const std::string& name, int baudRate) {
  std::lock_guard<TurnLock> hold(lock_);
  CloseIfOpen();
  if (!OpenDevice(name, baudRate)) return false;
  openName_ = name;
  std::strncpy(portName_, name.c_str(), kPortNameSize - 1);
  portName_[kPortNameSize - 1] = '\0';
  return true;
}

void ModbusLink::Reopen(int baudRate) {
  std::lock_guard<TurnLock> hold(lock_);
  CloseIfOpen();
  if (!openName_.empty()) OpenDevice(openName_, baudRate);
}

void ModbusLink::Close() {
  std::lock_guard<TurnLock> hold(lock_);
  CloseIfOpen();
}

// Opens the device or connects to the gateway behind name at baudRate, with
// the backend its transport takes, and makes it the open port; keeps the
// reason when that fails. A gateway's socket has no line settings; its rate
// still sets the timeouts.
bool ModbusLink::OpenDevice(const std::string& name, int baudRate) {
  const std::string device = ports_ != nullptr ? ports_->Resolve(name) : PortMap().Resolve(name);
  if (device.empty()) {
    openFailure_ = "no serial device is mapped to this port";
    return false;
  }
  auto backend = MakeBackend(TransportOf(device), settings_);
  const LineSetup setup = backend->Open(device, baudRate);
  openFailure_ = setup.failure;
  if (!setup.failure.empty()) return false;
  backend_ = std::move(backend);
  portNote_ = setup.note;
  lineFault_.clear();
  openDevice_ = device;
  failedReconnects_ = 0;
  retryAt_ = {};
  portOpen_ = true;
  return true;
}

void ModbusLink::CloseIfOpen() {
  if (!portOpen_) return;
  portOpen_ = false;
  backend_->Close();
}

bool ModbusLink::DeviceGone() const { return portOpen_ && backend_->Wire().gone; }

bool ModbusLink::Reconnects() const { return portOpen_ && backend_->Reconnects(); }

std::string ModbusLink::GoneText() const { return backend_ ? backend_->GoneText(openDevice_) : ""; }

void ModbusLink::SetSettings(const LinkSettings& settings) {
  std::lock_guard<TurnLock> hold(lock_);
  settings_ = settings;
}

void ModbusLink::DrainInput() {
  std::lock_guard<TurnLock> hold(lock_);
  if (backend_) backend_->Drain();
}

ModbusResult ModbusLink::Counted(ModbusResult result) {
  ++tally_[result];
  return result;
}

// The exception form's one byte kept beside the result, for the callers that
// tell a busy meter or a gateway's refusal from other exceptions.
ModbusResult ModbusLink::Noted(ModbusResult checked, const ModbusAnswer& answer) {
  exceptionCode_ = checked == ResultException && answer.pduLength >= 2 ? answer.pdu[1] : 0;
  return checked;
}

// A gateway's connection found lost gets one try at connecting again (within
// the timeouts' gatewayConnectMs); when that fails, the port stays gone and the
// transactions fail at once for the back-off, so a gateway that drops
// connection attempts costs one try per back-off rather than 3 s per
// transaction (6 s a QM4C poll tick). Nothing on a serial port.
void ModbusLink::RestoreLostConnection() {
  if (!DeviceGone() || !backend_->Reconnects()) return;
  if (LinkClock::now() < retryAt_) {
    std::snprintf(note_, sizeof note_, "not connected; next try in %d s", (MillisecondsLeft(retryAt_) + 999) / 1000);
    return;
  }
  std::string failure;
  if (backend_->Reconnect(openDevice_, &failure)) {
    failedReconnects_ = 0;
    return;
  }
  const int backoffMs = ReconnectBackoffMs(++failedReconnects_);
  retryAt_ = LinkClock::now() + std::chrono::milliseconds(backoffMs);
  std::snprintf(note_, sizeof note_, "connecting again failed: %s; next try in %d s", failure.c_str(),
                backoffMs / 1000);
}

// Every transaction's steps after its argument check: trace the request as
// it goes over the port, send it and read the answer, trace the response
// (and a note where there is one), ask for a repaint. Returns the transport
// result and, in *answer, the response as the checks take it. A link never
// opened has no port: its request is traced as RTU, and it fails as on a
// closed port.
ModbusResult ModbusLink::Exchange(const uint8_t* request, int requestLength, uint8_t* response, int m,
                                  ModbusAnswer* answer) {
  trace_.newest = (trace_.newest + 1) % kTraceEntries;
  char* entry = trace_.entries[trace_.newest];
  uint8_t wire[kRequestLength + kMbapExtraLength];
  const int wireLength =
      backend_ ? backend_->Wrap(request, requestLength, wire) : CopyRtuRequest(request, requestLength, wire);
  FormatHexLine("Send->", entry, kTraceEntryChars, wire, wireLength);

  note_[0] = '\0';
  int received = 0;
  const ModbusResult transport =
      backend_ ? Transfer(*backend_, request, wire, wireLength, response, m, &received) : ResultTimeout;
  const int r = std::min(received, m);

  const size_t used = std::strlen(entry);
  FormatHexLine("Recv->", entry + used, kTraceEntryChars - used, response, r);
  if (transport == ResultOk) *answer = backend_->Unwrap(response, r);
  AppendNoteLine(entry, note_);
  if (backend_) AppendNoteLine(entry, backend_->Note());
  if (trace_.live == 1 && trace_.repaintRequest) trace_.repaintRequest(trace_.repaintContext);
  return transport;
}

// Drains, writes the wrapped request keeping the line's frame silence and
// echo, and reads the answer into response: the transport result, the bytes
// read in *received.
ModbusResult ModbusLink::Transfer(LinkBackend& backend, const uint8_t* request, const uint8_t* wire, int wireLength,
                                  uint8_t* response, int m, int* received) {
  backend.Drain();
  RestoreLostConnection();
  Channel& channel = backend.Wire();
  const bool echo = settings_.line.echo;
  // A closed port or a device gone puts nothing on the line: no silence to keep.
  const bool onLine = backend.CarriesRtuLine() && IsOpen() && !channel.gone;
  if (onLine) WaitForFrameSilence(channel);
  backend.Write(wire, wireLength);
  if (onLine) channel.lastByteAt = LinkClock::now();
  const bool echoWrong = onLine && echo && !channel.gone && !EchoMatches(backend, wire, wireLength);
  const ModbusResult transport = backend.Read(request, response, m, received);
  const int r = std::min(*received, m);
  const bool ownRequest = onLine && !echo && IsOwnRequestHandedBack(wire, wireLength, response, r);
  return (echoWrong || ownRequest) && transport == ResultOk ? ResultTimeout : transport;
}

// The request's echo, read before the answer. One that differs or is
// missing is a fault of the line: the answer is still read (so that it is
// not left for the next request) but not taken.
bool ModbusLink::EchoMatches(LinkBackend& backend, const uint8_t* wire, int length) {
  uint8_t echo[kRequestLength + kMbapExtraLength];
  int got = 0;
  const Echo verdict = ReadEcho(backend.Wire(), settings_.timeouts, wire, length, echo, &got);
  if (verdict == Echo::Same) return true;
  char bytes[3 * sizeof echo + 8];
  FormatHexLine("", bytes, sizeof bytes, echo, got);
  bytes[std::strcspn(bytes, "\r\n")] = '\0';
  if (verdict == Echo::Differs)
    std::snprintf(note_, sizeof note_, "echo differs:%s", bytes);
  else
    std::snprintf(note_, sizeof note_, "echo missing: %d of %d bytes came back", got, length);
  lineFault_ = std::string(note_) + " (a fault of the line or the adapter, not of the meter)";
  return false;
}

// Without --echo, an answer that begins with our own request is the
// adapter handing it back: never a reading. A write's right answer is its
// request, so there only more than that tells (under the length framing a
// write's echo passes for its answer: the reads every command makes first
// are what find such a line).
bool ModbusLink::IsOwnRequestHandedBack(const uint8_t* wire, int wireLength, const uint8_t* response, int received) {
  constexpr uint8_t kWriteSingleRegister = 6;
  if (received < wireLength || (received == wireLength && wire[1] == kWriteSingleRegister)) return false;
  if (std::memcmp(response, wire, static_cast<size_t>(wireLength)) != 0) return false;
  std::snprintf(note_, sizeof note_, "the answer begins with our own request: the adapter echoes");
  lineFault_ = "the line hands back what is sent (an adapter without echo suppression): try --echo";
  return true;
}

ModbusResult ModbusLink::Read(int slave, int firstAddress, int count, int* values) {
  // firstAddress > 65535 - count rather than firstAddress + count > 65535:
  // the sum overflows for a first address near INT_MAX.
  if (!SlaveInRange(slave) || count < 1 || count > kMaxReadCount || firstAddress < 0 ||
      firstAddress > 65535 - count) {
    return ResultBadParameter;
  }
  BuildReadRequest(readRequest_, slave, firstAddress, count);
  ModbusAnswer answer;
  const ModbusResult transport =
      Exchange(readRequest_, kRequestLength, readResponse_, 2 * count + kReadSlack, &answer);
  if (transport != ResultOk) return transport;
  return Noted(CheckReadAnswer(answer, slave, count, values), answer);
}

ModbusResult ModbusLink::Write(int slave, int address, int value) {
  if (!SlaveInRange(slave) || address < 0 || address > 1023 || value < 0 || value > 65535) {
    return ResultBadParameter;
  }
  BuildWriteRequest(writeRequest_, slave, address, value);
  ModbusAnswer answer;
  const ModbusResult transport = Exchange(writeRequest_, kRequestLength, writeResponse_, kWriteAskedFor, &answer);
  if (transport != ResultOk) return transport;
  return Noted(CheckWriteAnswer(answer, slave, address, value), answer);
}

ModbusResult ModbusLink::Identify(int slave, int* slaveId, char* text) {
  if (!SlaveInRange(slave)) return ResultBadParameter;
  BuildReportSlaveIdRequest(idRequest_, slave);
  ModbusAnswer answer;
  const ModbusResult transport =
      Exchange(idRequest_, kReportSlaveIdRequestLength, idResponse_, kReportSlaveIdAskedFor, &answer);
  if (transport != ResultOk) return transport;
  return Noted(CheckReportSlaveIdAnswer(answer, slave, slaveId, text, kSlaveIdTextSize), answer);
}

// The relayed request is checked as our own of the same function would be,
// and its answer by the same checks, so a spoiled answer never goes back to
// the client as if the meter had said it.
ModbusResult ModbusLink::Pass(int slave, const uint8_t* pdu, int pduLength, uint8_t* answerPdu, int* answerLength) {
  constexpr int kMaxRelayRead = 125;
  if (slave < 1 || slave > 247 || pduLength < 1 || pduLength > kRequestLength - 3) return ResultBadParameter;
  const int function = pdu[0];
  const int first = pduLength == 5 ? pdu[1] << 8 | pdu[2] : 0;
  const int second = pduLength == 5 ? pdu[3] << 8 | pdu[4] : 0;
  int asked = 0;
  if (function == 3 && pduLength == 5 && second >= 1 && second <= kMaxRelayRead)
    asked = 2 * second + kReadSlack;
  else if (function == 6 && pduLength == 5)
    asked = kWriteAskedFor;
  else if (function == 17 && pduLength == 1)
    asked = kReportSlaveIdAskedFor;
  else
    return ResultBadParameter;
  relayRequest_[0] = static_cast<uint8_t>(slave);
  std::memcpy(relayRequest_ + 1, pdu, static_cast<size_t>(pduLength));
  const uint16_t crc = Crc16(relayRequest_, static_cast<size_t>(pduLength + 1));
  relayRequest_[pduLength + 1] = static_cast<uint8_t>(crc & 0xFF);
  relayRequest_[pduLength + 2] = static_cast<uint8_t>(crc >> 8);
  ModbusAnswer answer;
  const ModbusResult transport = Exchange(relayRequest_, pduLength + 3, readResponse_, asked, &answer);
  if (transport != ResultOk) return transport;
  int values[kMaxRelayRead];
  int slaveId = 0;
  char text[kSlaveIdTextSize];
  const ModbusResult checked = function == 3   ? CheckReadAnswer(answer, slave, second, values)
                               : function == 6 ? CheckWriteAnswer(answer, slave, first, second)
                                               : CheckReportSlaveIdAnswer(answer, slave, &slaveId, text, sizeof text);
  if ((checked != ResultOk && checked != ResultException) || answer.pduLength > kMaxRelayAnswer) return checked;
  std::memcpy(answerPdu, answer.pdu, static_cast<size_t>(answer.pduLength));
  *answerLength = answer.pduLength;
  return checked;
}

// A write that failed may still have reached the meter, so every write
// asked is told.
ModbusResult ModbusLink::Relay(int slave, const uint8_t* pdu, int pduLength, uint8_t* answerPdu, int* answerLength) {
  std::lock_guard<TurnLock> hold(lock_);
  const ModbusResult result = Counted(Pass(slave, pdu, pduLength, answerPdu, answerLength));
  if (watch_ != nullptr && pduLength > 0 && pdu[0] == 6 && result != ResultBadParameter) watch_->Written(slave);
  return result;
}

ModbusResult ModbusLink::ReadHoldingRegisters(int slave, int firstAddress, int count, int* values) {
  std::lock_guard<TurnLock> hold(lock_);
  exceptionCode_ = 0;
  lastWasWrite_ = false;
  const ModbusResult result = Counted(Read(slave, firstAddress, count, values));
  if (watch_ != nullptr && result == ResultOk) watch_->Read(slave, firstAddress, count, values);
  return result;
}

ModbusResult ModbusLink::WriteSingleRegister(int slave, int address, int value) {
  std::lock_guard<TurnLock> hold(lock_);
  exceptionCode_ = 0;
  lastWasWrite_ = true;
  const ModbusResult result = Counted(Write(slave, address, value));
  if (watch_ != nullptr && result != ResultBadParameter) watch_->Written(slave);
  return result;
}

void ModbusLink::Watch(LinkWatch* watch) {
  std::lock_guard<TurnLock> hold(lock_);
  watch_ = watch;
}

ModbusResult ModbusLink::ReportSlaveId(int slave, int* slaveId, char* text) {
  std::lock_guard<TurnLock> hold(lock_);
  exceptionCode_ = 0;
  lastWasWrite_ = false;
  return Counted(Identify(slave, slaveId, text));
}
