#include "bus/commands.h"

#include "meter/register_map.h"
#include "modbus/model.h"

namespace {
struct tm LocalTimeNow() {
  const time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  return local;
}
}  // namespace

ModbusResult ResetEnergy(ModbusLink& link, const Meter& meter) {
  if (!link.IsOpen() || meter.model == ModelNone) return ResultBadParameter;
  return link.WriteSingleRegister(meter.address, reg::kCommand, reg::kCommandResetEnergy);
}

ModbusResult SetClockFrom(ModbusLink& link, const Meter& meter, const struct tm& localTime) {
  if (meter.model != ModelQM4C || !link.IsOpen()) return ResultBadParameter;
  int registers[3];
  PackMeterTime(localTime, registers);
  // All three are sent whatever the earlier ones gave; the first failure is
  // the one reported.
  ModbusResult first = ResultOk;
  for (int i = 0; i < 3; ++i) {
    const ModbusResult result = link.WriteSingleRegister(meter.address, reg::kClock + i, registers[i]);
    if (first == ResultOk) first = result;
  }
  return first;
}

ModbusResult SetClockFromPc(ModbusLink& link, const Meter& meter) {
  return SetClockFrom(link, meter, LocalTimeNow());
}
