#pragma once
// A serial line: raw 8N1 through termios, exclusive, DTR on, RS-485 RTS
// toggling where the driver has it (required with --rs485), low latency
// asked of USB adapters; RTU frames ended by silence or, under
// the length framing, by their length. The only backend that touches termios.

#include "modbus/backend.h"

class SerialBackend final : public LinkBackend {
 public:
  using LinkBackend::LinkBackend;
  bool CarriesRtuLine() const override { return true; }
  int Wrap(const uint8_t* request, int length, uint8_t* wire) override { return CopyRtuRequest(request, length, wire); }
  void Drain() override;
  void Write(const uint8_t* wire, int length) override;
  ModbusResult Read(const uint8_t* request, uint8_t* buffer, int m, int* received) override;
  ModbusAnswer Unwrap(const uint8_t* bytes, int got) override { return RtuAnswer(bytes, got); }
  const char* Note() const override { return ""; }
  bool Reconnects() const override { return false; }
  std::string GoneText(const std::string& device) const override;

 private:
  int OpenDescriptor(const std::string& device, std::string* failure) override;
  LineSetup Configure(int baudRate) override;
};
