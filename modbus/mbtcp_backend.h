#pragma once
// Modbus TCP: each request goes out in an MBAP frame (modbus/mbap.h) with the
// next transaction id; an answer ends at the length its header gives, one
// with another transaction id (a late answer to an earlier request) is
// dropped and the read goes on for this request's own until its deadline,
// and the header of the answer taken must belong to the request before its
// PDU goes to the checks every transport shares. No CRC: TCP has none.

#include "modbus/gateway_backend.h"
#include "modbus/mbap.h"

class ModbusTcpBackend final : public GatewayBackend {
 public:
  using GatewayBackend::GatewayBackend;
  int Wrap(const uint8_t* request, int length, uint8_t* wire) override;
  ModbusResult Read(const uint8_t* request, uint8_t* buffer, int m, int* received) override;
  ModbusAnswer Unwrap(const uint8_t* bytes, int got) override;
  const char* Note() const override { return note_; }
  // The gateway keeps its own line's silence.
  bool CarriesRtuLine() const override { return false; }

 private:
  uint16_t transactionId_ = 0;  // the last request's
  char note_[128] = "";
};
