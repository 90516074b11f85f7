#pragma once
// RTU over TCP: a transparent serial server passes the RTU frames through
// unchanged, CRC included; an answer ends by its length (the RTU framing's
// rule), or, when the bytes there fail the CRC, by silence as on the line.

#include "modbus/gateway_backend.h"

class RtuOverTcpBackend final : public GatewayBackend {
 public:
  using GatewayBackend::GatewayBackend;
  int Wrap(const uint8_t* request, int length, uint8_t* wire) override { return CopyRtuRequest(request, length, wire); }
  ModbusResult Read(const uint8_t* request, uint8_t* buffer, int m, int* received) override;
  ModbusAnswer Unwrap(const uint8_t* bytes, int got) override { return RtuAnswer(bytes, got); }
  const char* Note() const override { return ""; }
  // A serial device server puts our bytes on its line as they come.
  bool CarriesRtuLine() const override { return true; }
};
