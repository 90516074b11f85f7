// The port map's names: a COM name, a "COMn=PATH" mapping (--port), the
// name resolved as the link resolves it before opening, and a gateway's
// HOST:PORT address (also with a default port, as --mqtt takes it).

#include <string>

#include "modbus/gateway.h"
#include "modbus/host_port.h"
#include "modbus/port_map.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const int number = ComPortNumber(text);
  if (number < 0 || number > kComPortCount) __builtin_trap();
  PortMap ports;
  ports.Parse(text);
  ports.Resolve(text);
  TransportOf(text);
  std::string host, port;
  if (SplitHostPort(text, &host, &port) && (host.empty() || port.empty())) __builtin_trap();
  HostPort parts;  // as --mqtt and --prometheus read it
  std::string problem;
  const bool parsed = ParseHostPort(text, &parts, &problem, "1883");
  if (parsed != problem.empty() || (parsed && (parts.host.empty() || parts.port.empty()))) __builtin_trap();
  return 0;
}
