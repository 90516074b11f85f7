#pragma once
// Commands written to a meter over a link. Each returns the first write
// result that was not ResultOk, else ResultOk; when its needs (the link's
// port open, a suitable model) are not met, nothing is sent and it returns
// ResultBadParameter. The console ignores the result; pylaxctl reports it.

#include <ctime>

#include "meter/meter.h"
#include "modbus/link.h"
#include "modbus/result.h"

// 30078 to address 128; port open and model 1..3.
ModbusResult ResetEnergy(ModbusLink& link, const Meter& meter);
// The local time to 154, 155, 156 in that order, all three whatever the
// earlier ones gave; port open and QM4C.
ModbusResult SetClockFrom(ModbusLink& link, const Meter& meter, const struct tm& localTime);
// The same with the PC's local time now.
ModbusResult SetClockFromPc(ModbusLink& link, const Meter& meter);
