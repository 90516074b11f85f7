// The port map's names: a COM name, a "COMn=PATH" mapping (--port), and the
// name resolved as the link resolves it before opening.

#include <string>

#include "modbus/port_map.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const int number = ComPortNumber(text);
  if (number < 0 || number > kComPortCount) __builtin_trap();
  ParsePortOverride(text);
  ResolvePortName(text);
  return 0;
}
