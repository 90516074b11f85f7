#include "modbus/backend.h"

#include <unistd.h>

LineSetup LinkBackend::Open(const std::string& device, int baudRate) {
  Close();
  LineSetup setup;
  const int fd = OpenDescriptor(device, &setup.failure);
  if (fd < 0) return setup;
  // A rate the link does not offer runs at the first, as the line does.
  wire_ = Channel{fd, false, IsOfferedBaudRate(baudRate) ? baudRate : kBaudRates[0], LinkClock::now()};
  setup = Configure(baudRate);
  if (!setup.failure.empty()) {
    Close();
    setup.failure = device + " " + setup.failure;
  }
  return setup;
}

void LinkBackend::Close() {
  if (wire_.fd >= 0) ::close(wire_.fd);
  wire_.fd = -1;
}

bool LinkBackend::Reconnect(const std::string& device, std::string* failure) {
  const int fd = OpenDescriptor(device, failure);
  if (fd < 0) return false;
  ::close(wire_.fd);
  wire_.fd = fd;
  wire_.gone = false;
  return true;
}
