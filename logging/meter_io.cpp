#include "logging/meter_io.h"

#include "meter/meter_state.h"
#include "modbus/master.h"
#include "modbus/serial_link.h"

bool ReadMeter(int firstAddress, int count, int* values, StatusLog& log) {
  log.AtSafePoint();
  return !log.StopRequested() &&
         ReadHoldingRegisters(g_port, g_slaveAddress, firstAddress, count, values) == ResultOk;
}

bool WriteMeter(int address, int value, StatusLog& log) {
  log.AtSafePoint();
  return !log.StopRequested() && WriteSingleRegister(g_port, g_slaveAddress, address, value) == ResultOk;
}
