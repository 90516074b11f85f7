#include "logging/meter_io.h"

#include "meter/meter_state.h"
#include "modbus/master.h"
#include "modbus/serial_link.h"

bool ReadMeter(int firstAddress, int count, int* values, const StatusLog& log) {
  return !log.StopRequested() &&
         ReadHoldingRegisters(g_port, g_slaveAddress, firstAddress, count, values) == ResultOk;
}

bool WriteMeter(int address, int value, const StatusLog& log) {
  return !log.StopRequested() && WriteSingleRegister(g_port, g_slaveAddress, address, value) == ResultOk;
}
