#pragma once
// What a transport does for the link, as libmodbus's backend table does for
// its context: open and set up the descriptor, drop stale input, write a
// request, read its answer within the timeouts, wrap an RTU request for the
// wire and turn the bytes that came back into the answer the shared checks
// take. Three implementations, each in its own file: a serial line
// (serial_backend), RTU over TCP (rtu_tcp_backend) and Modbus TCP
// (mbtcp_backend). The link owns the descriptor (a Channel) and hands it in.

#include <cstdint>
#include <cstring>
#include <string>

#include "modbus/frame.h"
#include "modbus/line_io.h"
#include "modbus/result.h"

// How a response read ends on a serial line, chosen once per run. Silence:
// only by the 35 ms of quiet (or m bytes, or the total timeout), the default.
// Length: also as soon as a complete answer with a right CRC is in; anything
// else falls back to the silence. Nothing above the link knows which is in
// use.
enum class Framing { Silence, Length };

// What the wire between us and the meters needs beyond its rate, chosen
// once per run.
struct LineSettings {
  // The adapter hands back every byte we send (two-wire, no echo
  // suppression): each request's echo is read and checked before the answer.
  bool echo = false;
  // The kernel drives RTS while we send (a UART with an RS-485 transceiver);
  // a port whose driver cannot is refused. Delays in ms around the request.
  bool rs485 = false;
  int rs485DelayBeforeMs = 0;
  int rs485DelayAfterMs = 0;
};

// How setting a line up went: a failure refuses the port; the note says
// what the port runs at where that is worth knowing (a USB adapter's
// latency timer).
struct LineSetup {
  std::string failure;
  std::string note;
};

// An RTU request goes on the wire as it is (a serial line, RTU over TCP):
// copies it into wire and returns its length.
inline int CopyRtuRequest(const uint8_t* request, int length, uint8_t* wire) {
  std::memcpy(wire, request, static_cast<size_t>(length));
  return length;
}

class LinkBackend {
 public:
  virtual ~LinkBackend() = default;

  // Opens device (a path, or a gateway's address) for exclusive use: the
  // descriptor, or -1 with the reason in *failure, in words a user can act on.
  virtual int Open(const std::string& device, std::string* failure) = 0;
  // Sets an open line up at baudRate as line asks; nothing on a socket,
  // which has no line.
  virtual LineSetup Configure(int fd, int baudRate, const LineSettings& line) = 0;
  // The bytes go over a serial line as RTU frames (here or behind a serial
  // device server): the frame silence and the echo are the link's to keep.
  virtual bool CarriesRtuLine() const = 0;
  // The framing the user chose; a transport that frames otherwise ignores it.
  virtual void SetFraming(Framing framing) = 0;

  // The request as it goes on the wire, into wire (room for length + 4
  // bytes); returns its length.
  virtual int Wrap(const uint8_t* request, int length, uint8_t* wire) = 0;
  // Drops whatever input is pending before a request goes out.
  virtual void Drain(Channel& channel) = 0;
  // Writes the wrapped request, giving up after WriteTimeoutMs.
  virtual void Write(Channel& channel, const uint8_t* wire, int length) = 0;
  // Reads up to m bytes of the answer to request (its RTU form) within the
  // timeouts of ReadAnswer.
  virtual ModbusResult Read(Channel& channel, const uint8_t* request, uint8_t* buffer, int m, int* received) = 0;
  // The got bytes of an answer read whole (Read gave ResultOk) as the checks
  // take them; valid while the bytes stay in place.
  virtual ModbusAnswer Unwrap(const uint8_t* bytes, int got) = 0;
  // What the last exchange showed beyond its bytes, for a line of the trace
  // (an MBAP header that did not belong, answers to other requests dropped);
  // empty when nothing did. Cleared by Wrap.
  virtual const char* Note() const = 0;

  // A descriptor lost is not the end of the port, as a device gone is, but
  // connected again (a gateway's connection).
  virtual bool Reconnects() const = 0;
  // Connects to device again, the new connection taking channel.fd's number
  // (callers hold it for as long as the port is open); false, with the
  // reason in *failure, when that fails.
  virtual bool Reconnect(Channel& channel, const std::string& device, std::string* failure) = 0;
  // Why the transactions fail at once after the device went, naming it.
  virtual std::string GoneText(const std::string& device) const = 0;
};
