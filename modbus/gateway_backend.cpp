#include "modbus/gateway_backend.h"

#include <sys/socket.h>

#include "modbus/gateway.h"

namespace {

// A socket whose peer has gone must give EPIPE, not the SIGPIPE that would
// end the program.
ssize_t PutToSocket(int fd, const uint8_t* bytes, size_t count) { return ::send(fd, bytes, count, MSG_NOSIGNAL); }

}  // namespace

int GatewayBackend::OpenDescriptor(const std::string& device, std::string* failure) {
  return ConnectGateway(device, Settings().timeouts.gatewayConnectMs, failure);
}

void GatewayBackend::Drain() {
  // What came after a whole answer came with it; nothing is waited for.
  DrainChannel(Wire(), Settings().timeouts, 0);
}

void GatewayBackend::Write(const uint8_t* wire, int length) {
  // A socket has no line to turn around: the request is out once written.
  Channel& channel = Wire();
  const auto deadline =
      LinkClock::now() + std::chrono::milliseconds(WriteTimeoutMs(Settings().timeouts, length, channel.baud));
  WriteChannel(channel, wire, length, deadline, PutToSocket);
}

ModbusResult GatewayBackend::ReadByLength(AnswerEnd& end, uint8_t* buffer, int m, int* received, int queueMs) {
  return ReadAnswer(Wire(), Settings().timeouts, ReadRule{&end, false, queueMs}, buffer, m, received);
}

std::string GatewayBackend::GoneText(const std::string& device) const {
  return device + ": the connection to the gateway was lost; it is opened again at the next transaction";
}
