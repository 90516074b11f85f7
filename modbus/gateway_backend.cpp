#include "modbus/gateway_backend.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "modbus/gateway.h"

namespace {

// A socket whose peer has gone must give EPIPE, not the SIGPIPE that would
// end the program.
ssize_t PutToSocket(int fd, const uint8_t* bytes, size_t count) { return ::send(fd, bytes, count, MSG_NOSIGNAL); }

}  // namespace

int GatewayBackend::Open(const std::string& device, std::string* failure) { return ConnectGateway(device, failure); }

void GatewayBackend::Drain(Channel& channel) {
  // What came after a whole answer came with it; nothing is waited for.
  DrainChannel(channel, 0);
}

void GatewayBackend::Write(Channel& channel, const uint8_t* wire, int length) {
  // A socket has no line to turn around: the request is out once written.
  const auto deadline = LinkClock::now() + std::chrono::milliseconds(WriteTimeoutMs(length, channel.baud));
  WriteChannel(channel, wire, length, deadline, PutToSocket);
}

ModbusResult GatewayBackend::ReadByLength(Channel& channel, AnswerEnd& end, uint8_t* buffer, int m, int* received,
                                          int queueMs) {
  return ReadAnswer(channel, ReadRule{&end, false, queueMs}, buffer, m, received);
}

bool GatewayBackend::Reconnect(Channel& channel, const std::string& device, std::string* failure) {
  const int fd = ConnectGateway(device, failure);
  if (fd < 0) return false;
  ::dup3(fd, channel.fd, O_CLOEXEC);
  ::close(fd);
  return true;
}

std::string GatewayBackend::GoneText(const std::string& device) const {
  return device + ": the connection to the gateway was lost; it is opened again at the next transaction";
}
