#pragma once
// What the two gateway backends share: a TCP connection (modbus/gateway.h)
// in place of a device, no line settings, a write that cannot raise SIGPIPE,
// a drain of what is already in, and a connection lost that is connected
// again rather than the end of the port.

#include "modbus/backend.h"

// Over TCP silence marks no frame's end (segments split and join anywhere),
// so a read ends by length whatever the framing setting says.
class GatewayBackend : public LinkBackend {
 public:
  using LinkBackend::LinkBackend;
  void Drain() override;
  void Write(const uint8_t* wire, int length) override;
  bool Reconnects() const override { return true; }
  std::string GoneText(const std::string& device) const override;

 protected:
  // Over TCP a pause is no end while the length says more is coming: a
  // gateway may send an answer in pieces, and the network may hold one back.
  ModbusResult ReadByLength(AnswerEnd& end, uint8_t* buffer, int m, int* received, int queueMs = 0);

 private:
  int OpenDescriptor(const std::string& device, std::string* failure) override;
  LineSetup Configure(int) override { return {}; }
};
