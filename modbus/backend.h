#pragma once
// What a transport does for the link, as libmodbus's backend table does for
// its context: open and set up the descriptor, drop stale input, write a
// request, read its answer within the timeouts, wrap an RTU request for the
// wire and turn the bytes that came back into the answer the shared checks
// take. Three implementations, each in its own file: a serial line
// (serial_backend), RTU over TCP (rtu_tcp_backend) and Modbus TCP
// (mbtcp_backend). The backend owns its descriptor (a Channel) from open to
// close, and reads the link's settings, which outlive it.

#include <cstdint>
#include <cstring>
#include <string>

#include "modbus/frame.h"
#include "modbus/line_io.h"
#include "modbus/link_settings.h"
#include "modbus/result.h"

// How opening a port went: a failure refuses it, in words a user can act
// on; the note says what the port runs at where that is worth knowing (a USB
// adapter's latency timer).
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
  explicit LinkBackend(const LinkSettings& settings) : settings_(settings) {}
  virtual ~LinkBackend() { Close(); }
  LinkBackend(const LinkBackend&) = delete;
  LinkBackend& operator=(const LinkBackend&) = delete;

  // Opens device (a path, or a gateway's address) for exclusive use and sets
  // it up at baudRate as the settings' line asks; a failure leaves nothing
  // open.
  LineSetup Open(const std::string& device, int baudRate);
  void Close();
  // The open descriptor, -1 when none.
  int Descriptor() const { return wire_.fd; }
  // The descriptor and what is known of the wire: whether the device has
  // gone, the rate, when the last byte was on the line.
  Channel& Wire() { return wire_; }
  const Channel& Wire() const { return wire_; }

  // The bytes go over a serial line as RTU frames (here or behind a serial
  // device server): the frame silence and the echo are the link's to keep.
  virtual bool CarriesRtuLine() const = 0;
  // The request as it goes on the wire, into wire (room for length + 4
  // bytes); returns its length.
  virtual int Wrap(const uint8_t* request, int length, uint8_t* wire) = 0;
  // Drops whatever input is pending before a request goes out.
  virtual void Drain() = 0;
  // Writes the wrapped request, giving up after WriteTimeoutMs.
  virtual void Write(const uint8_t* wire, int length) = 0;
  // Reads up to m bytes of the answer to request (its RTU form) within the
  // timeouts of ReadAnswer.
  virtual ModbusResult Read(const uint8_t* request, uint8_t* buffer, int m, int* received) = 0;
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
  // Where Reconnects: connects to device again in place of the descriptor
  // lost; false, with the reason in *failure, when that fails.
  bool Reconnect(const std::string& device, std::string* failure);
  // Why the transactions fail at once after the device went, naming it.
  virtual std::string GoneText(const std::string& device) const = 0;

 protected:
  const LinkSettings& Settings() const { return settings_; }

 private:
  // The descriptor of device, opened or connected; -1 with the reason in
  // *failure.
  virtual int OpenDescriptor(const std::string& device, std::string* failure) = 0;
  // Sets the open line up at baudRate; nothing on a socket, which has no line.
  virtual LineSetup Configure(int baudRate) = 0;

  const LinkSettings& settings_;
  Channel wire_;
};
