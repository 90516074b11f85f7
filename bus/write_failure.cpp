#include "bus/write_failure.h"

#include <cstring>

#include "modbus/gateway.h"

namespace {
constexpr const char* kModbusTcpScheme = "mbtcp://";
}  // namespace

bool GatewayRefusedWrite(const ModbusLink& link, ModbusResult result) {
  return result == ResultException && link.LastWasWrite() && link.LastExceptionCode() == kExceptionCodeIllegalFunction &&
         TransportOf(link.Device()) == Transport::ModbusTcp;
}

std::string WriteFailureText(const ModbusLink& link, ModbusResult result) {
  if (!GatewayRefusedWrite(link, result)) return ResultText(result);
  const std::string address = link.Device().substr(std::strlen(kModbusTcpScheme));
  return "the gateway at " + address +
         " refused the write (exception 01): it serves reads only; its monitor needs --gateway-writes";
}
