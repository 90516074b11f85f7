#include "modbus/rtu_tcp_backend.h"

ModbusResult RtuOverTcpBackend::Read(Channel& channel, const uint8_t* request, uint8_t* buffer, int m, int* received) {
  RtuAnswerEnd end(request);
  return ReadByLength(channel, end, buffer, m, received);
}
