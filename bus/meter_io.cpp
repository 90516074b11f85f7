#include "bus/meter_io.h"

#include "bus/write_failure.h"

bool ReadMeter(ModbusLink& link, int slave, int firstAddress, int count, int* values, StatusLog& log) {
  log.AtSafePoint();
  return !log.StopRequested() && link.ReadHoldingRegisters(slave, firstAddress, count, values) == ResultOk;
}

bool WriteMeter(ModbusLink& link, int slave, int address, int value, StatusLog& log) {
  log.AtSafePoint();
  if (log.StopRequested()) return false;
  const ModbusResult result = link.WriteSingleRegister(slave, address, value);
  if (GatewayRefusedWrite(link, result)) log.LogStatus(WriteFailureText(link, result));
  return result == ResultOk;
}
