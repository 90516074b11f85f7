#include "bus/meter_io.h"

bool ReadMeter(ModbusLink& link, int slave, int firstAddress, int count, int* values, StatusLog& log) {
  log.AtSafePoint();
  return !log.StopRequested() && link.ReadHoldingRegisters(slave, firstAddress, count, values) == ResultOk;
}

bool WriteMeter(ModbusLink& link, int slave, int address, int value, StatusLog& log) {
  log.AtSafePoint();
  return !log.StopRequested() && link.WriteSingleRegister(slave, address, value) == ResultOk;
}
