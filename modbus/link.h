#pragma once
// The link: one port to one bus and everything a Modbus master keeps for it,
// as libmodbus's context does. It owns its transport backend (a serial line,
// RTU over TCP or Modbus TCP, chosen by the port's name), its settings
// (framing, line, timeouts), the trace ring, the tally of results and the
// back-off of a gateway that cannot be reached. The three
// transactions are its operations. Two links share nothing, so two buses
// can be polled at once on two threads.

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include "modbus/backend.h"
#include "modbus/frame.h"
#include "modbus/line_io.h"
#include "modbus/link_settings.h"
#include "modbus/port_map.h"
#include "modbus/result.h"
#include "modbus/turn_lock.h"

constexpr int kPortNameSize = 32;

constexpr int kTraceEntries = 12;
constexpr int kTraceEntryChars = 1024;

// Largest counts and sizes. A read may ask for up to 509 registers, so its
// response buffer holds 2 * 509 + 25 bytes and no read can overrun it.
constexpr int kMaxReadCount = 509;
constexpr int kReadResponseBufferSize = 2 * kMaxReadCount + 25;
constexpr int kWriteResponseBufferSize = 300;
constexpr int kReportSlaveIdResponseBufferSize = 100;
constexpr int kSlaveIdTextSize = 94;  // 93 characters and the terminator
// The longest answer PDU a relayed request can have: 125 registers.
constexpr int kMaxRelayAnswer = 2 + 2 * 125;

// The last kTraceEntries exchanges that passed their argument check, each
// entry the request line and the response line ("Send->", "Recv->", hex
// bytes as they went over the port), and a "Note->" line where the exchange
// showed more than its bytes: a gateway not connected, an MBAP header that
// did not belong, answers to other requests dropped.
struct TraceRing {
  char entries[kTraceEntries][kTraceEntryChars] = {};
  int newest = 0;  // the newest entry; the first transaction writes entry 1
  int live = 0;    // 1 while a trace window shows the ring and is not frozen
  // Asked, with repaintContext, while live is 1, after each transaction has
  // written its response line, so the window showing the ring can schedule a
  // repaint. Null when no window listens.
  void (*repaintRequest)(void* context) = nullptr;
  void* repaintContext = nullptr;

  // The ring in time order: k = 0 the oldest entry (the one after the
  // newest), kTraceEntries - 1 the newest. An entry never written is empty.
  const char* OldestFirst(int k) const;
};

// "silence" or "length", as the option and the trace spell it.
const char* FramingName(Framing framing);
// The framing named text; false for anything but "silence" or "length".
bool ParseFraming(const std::string& text, Framing* framing);
// The framing a run uses: value (--framing), or, when value is empty, the
// environment variable PYLAX_FRAMING, else Silence. False, with a message
// naming the bad value and its source, for anything but silence or length.
bool ChooseFraming(const std::string& value, Framing* framing, std::string* error);

// "BEFORE,AFTER" in whole ms (0 to 1000 each) into line's RS-485 delays,
// which turns RS-485 mode on; false, with a message naming the option, for
// anything else.
bool ParseRs485Delays(const std::string& text, LineSettings* line, std::string* error);

// A gateway whose connection was lost gets one try at connecting again at
// the next transaction. After the failedTries-th failed try in a row the
// transactions fail at once (result 1) for this long before the next try:
// 5 s, doubling, at most 60 s.
int ReconnectBackoffMs(int failedTries);

// Told of what passes over a link: each read of holding registers that got
// its answer, and each write asked of a meter (relayed ones included), on
// the transaction's thread while it holds the line. The monitor's gateway
// keeps the answers it may give again without the line.
class LinkWatch {
 public:
  virtual ~LinkWatch() = default;
  virtual void Read(int slave, int firstAddress, int count, const int* values) = 0;
  virtual void Written(int slave) = 0;
};

class ModbusLink {
 public:
  ModbusLink() = default;
  // ports: what COMn names resolve through (the run's --port mappings); it
  // must outlive the link. Without it COMn comes from the environment and
  // the machine's devices.
  explicit ModbusLink(const LinkSettings& settings, const PortMap* ports = nullptr)
      : settings_(settings), ports_(ports) {}
  ~ModbusLink();
  ModbusLink(const ModbusLink&) = delete;
  ModbusLink& operator=(const ModbusLink&) = delete;

  // Opens name ("COM1:".."COM9:" through the port map, a device path, or a
  // gateway's address: tcp://HOST:PORT, mbtcp://HOST:PORT) for exclusive use
  // and sets it up at baudRate; a gateway is connected to. Closes the open
  // port first, so a failed open leaves no port open; the reason is kept for
  // OpenFailureText.
  bool Open(const std::string& name, int baudRate);
  // Closes and reopens the port last opened with success at another rate;
  // on failure the port stays closed.
  void Reopen(int baudRate);
  void Close();

  bool IsOpen() const { return portOpen_; }
  // The open port's descriptor, -1 when none.
  int Descriptor() const { return backend_ ? backend_->Descriptor() : -1; }
  // The name last opened with success, cut to kPortNameSize - 1 characters
  // (the link keeps the whole name to reopen it).
  const char* Name() const { return portName_; }
  // What the name last opened with success resolved to: a device path or a
  // gateway's address (mbtcp://HOST:PORT); empty before.
  const std::string& Device() const { return openDevice_; }
  // Why the last open failed, in words a user can act on ("does not exist",
  // "is in use by another program", "permission denied ..."). Empty after a
  // successful open.
  const std::string& OpenFailureText() const { return openFailure_; }
  // The open port's device hung up or failed since it was opened (USB
  // adapter pulled, simulator ended, a gateway's connection lost): every
  // transaction fails at once with result 1 until the port is opened again,
  // or, where Reconnects, until a connect succeeds.
  bool DeviceGone() const;
  // "/dev/ttyUSB0 has gone away ...", naming the device, for DeviceGone.
  std::string GoneText() const;
  // The open port is a gateway's TCP connection: one lost is connected
  // again at the next transaction, and after a failed try once the back-off
  // has passed (ReconnectBackoffMs).
  bool Reconnects() const;

  // The framing, the timeouts and the echo take effect at the next
  // transaction (one under way ends first), the rest of the line settings at
  // the next open. Set by the link's owner, so reading them needs no turn.
  void SetSettings(const LinkSettings& settings);
  const LinkSettings& Settings() const { return settings_; }
  // What the open port runs at beyond its rate, where the driver tells
  // (a USB adapter's latency timer); empty when nothing.
  const std::string& PortNote() const { return portNote_; }
  // What went wrong on the wire itself in the last exchange that showed a
  // fault of the line rather than of the meter (an echo that differs or
  // is missing, our own request handed back without --echo), in words a
  // user can act on; empty while none has since the port was opened.
  const std::string& LineFault() const { return lineFault_; }

  // The transactions. Each checks its arguments (else ResultBadParameter,
  // nothing sent, no trace entry), writes a trace entry, drains stale input,
  // writes the request, reads the answer and checks it. On a result other
  // than 0 the out arguments are left as they were.
  // slave 0..255; count 1..509; firstAddress >= 0; firstAddress + count <= 65535.
  ModbusResult ReadHoldingRegisters(int slave, int firstAddress, int count, int* values);
  // slave 0..255; address 0..1023; value 0..65535.
  ModbusResult WriteSingleRegister(int slave, int address, int value);
  // slave 0..255; text must hold kSlaveIdTextSize characters.
  ModbusResult ReportSlaveId(int slave, int* slaveId, char* text);
  // Discards whatever input is pending, as each transaction does first.
  void DrainInput();
  // The exception code (1 to 255) of this link's last read, write or
  // report slave ID when it ended with ResultException, else 0: 6 says the
  // meter, or the gateway before it, is busy; 1 from a Modbus TCP gateway
  // that it takes no writes. A relayed request leaves it alone (its answer
  // goes back whole). Where other threads share the link, read it while
  // holding the turn the transaction was made in.
  int LastExceptionCode() const { return exceptionCode_; }
  // The last of those three was a write (function 6): a gateway's 01 to it
  // is a refusal of writes, to a read it is something else.
  bool LastWasWrite() const { return lastWasWrite_; }
  // Another master's request passed on as it came (a gateway's client):
  // function 3 (1 to 125 registers), 6 or 17 with its PDU of pduLength
  // bytes, to slave 1..247. ResultOk or ResultException: the meter's answer
  // PDU (the function's answer, or its exception) is in answerPdu (room for
  // kMaxRelayAnswer bytes), its length in *answerLength. Any other result:
  // the meter gave no usable answer (ResultBadParameter: nothing was sent).
  ModbusResult Relay(int slave, const uint8_t* pdu, int pduLength, uint8_t* answerPdu, int* answerLength);
  // Waits for the line, first come first served, and holds it until the
  // lock returned is let go; transactions on this thread meanwhile go at once.
  std::unique_lock<TurnLock> WaitForTurn() { return std::unique_lock<TurnLock>(lock_); }
  // watch is told of reads and writes from now on; nullptr: nobody is.
  void Watch(LinkWatch* watch);

  constexpr TraceRing& Trace() { return trace_; }
  constexpr const TraceRing& Trace() const { return trace_; }
  // How many transactions have ended with each result since the link was
  // made, bad parameters included.
  unsigned long TransactionsWith(ModbusResult result) const { return tally_[result]; }

 private:
  bool OpenDevice(const std::string& name, int baudRate);
  bool EchoMatches(LinkBackend& backend, const uint8_t* wire, int length);
  bool IsOwnRequestHandedBack(const uint8_t* wire, int wireLength, const uint8_t* response, int received);
  void CloseIfOpen();
  ModbusResult Counted(ModbusResult result);
  ModbusResult Noted(ModbusResult checked, const ModbusAnswer& answer);
  ModbusResult Read(int slave, int firstAddress, int count, int* values);
  ModbusResult Write(int slave, int address, int value);
  ModbusResult Identify(int slave, int* slaveId, char* text);
  ModbusResult Pass(int slave, const uint8_t* pdu, int pduLength, uint8_t* answerPdu, int* answerLength);
  ModbusResult Exchange(const uint8_t* request, int requestLength, uint8_t* response, int m, ModbusAnswer* answer);
  ModbusResult Transfer(LinkBackend& backend, const uint8_t* request, const uint8_t* wire, int wireLength,
                        uint8_t* response, int m, int* received);
  void RestoreLostConnection();

  mutable TurnLock lock_;  // held by every operation from start to end
  LinkSettings settings_;  // the backend reads them; declared first, as it outlives the backend
  const PortMap* ports_ = nullptr;
  std::unique_ptr<LinkBackend> backend_;  // the port last opened with success; none before
  bool portOpen_ = false;                 // while the backend's descriptor is usable
  char portName_[kPortNameSize] = "";
  std::string openName_;              // the whole name, to reopen it
  std::string openDevice_;            // what it resolved to: a device path or an address
  std::string openFailure_;
  std::string portNote_;
  std::string lineFault_;
  // A gateway that could not be connected again: failed tries in a row, and
  // when the next one may be made.
  int failedReconnects_ = 0;
  LinkClock::time_point retryAt_{};
  char note_[256] = "";  // the link's own note on this exchange (the back-off)
  int exceptionCode_ = 0;
  bool lastWasWrite_ = false;
  LinkWatch* watch_ = nullptr;

  TraceRing trace_;
  unsigned long tally_[kResultCount] = {};

  // Each transaction owns its request and response buffers; they are reused
  // by every call and nothing is allocated per transaction.
  uint8_t readRequest_[kRequestLength] = {};
  uint8_t readResponse_[kReadResponseBufferSize] = {};
  uint8_t writeRequest_[kRequestLength] = {};
  uint8_t writeResponse_[kWriteResponseBufferSize] = {};
  uint8_t idRequest_[kReportSlaveIdRequestLength] = {};
  uint8_t idResponse_[kReportSlaveIdResponseBufferSize] = {};
  uint8_t relayRequest_[kRequestLength] = {};
};
