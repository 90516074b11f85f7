#include "modbus/rtu_tcp_backend.h"

ModbusResult RtuOverTcpBackend::Read(const uint8_t* request, uint8_t* buffer, int m, int* received) {
  RtuAnswerEnd end(request);
  return ReadByLength(end, buffer, m, received);
}
