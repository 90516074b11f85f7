#include "console/commands.h"

#include "meter/meter_state.h"
#include "meter/register_map.h"
#include "modbus/master.h"
#include "modbus/model.h"
#include "modbus/serial_link.h"

namespace {
struct tm LocalTimeNow() {
  const time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  return local;
}
}  // namespace

ModbusResult ResetEnergyWithResult() {
  if (!g_portOpen || g_modelCode == ModelNone) return ResultBadParameter;
  return WriteSingleRegister(g_port, g_slaveAddress, reg::kCommand, reg::kCommandResetEnergy);
}

ModbusResult SetClockFromWithResult(const struct tm& localTime) {
  if (g_modelCode != ModelQM4C || !g_portOpen) return ResultBadParameter;
  int registers[3];
  PackMeterTime(localTime, registers);
  // All three are sent whatever the earlier ones gave; the first failure is
  // the one reported.
  ModbusResult first = ResultOk;
  for (int i = 0; i < 3; ++i) {
    const ModbusResult result = WriteSingleRegister(g_port, g_slaveAddress, reg::kClock + i, registers[i]);
    if (first == ResultOk) first = result;
  }
  return first;
}

void ResetEnergy() { (void)ResetEnergyWithResult(); }

void SetClockFrom(const struct tm& localTime) { (void)SetClockFromWithResult(localTime); }

void SetClockFromPc() { SetClockFrom(LocalTimeNow()); }

ModbusResult SetClockFromPcWithResult() { return SetClockFromWithResult(LocalTimeNow()); }
