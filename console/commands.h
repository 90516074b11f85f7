#pragma once
// Commands written to the picked meter. Each does nothing when its needs
// (port open, a suitable model) are not met; results are ignored.

#include <ctime>

#include "modbus/result.h"

// 30078 to address 128; port open and model 1..3.
void ResetEnergy();
// The PC's local time to 154, 155, 156 in that order; port open and QM4C.
void SetClockFromPc();
// The same for a given local time (tests use a fixed one).
void SetClockFrom(const struct tm& localTime);

// The same commands for callers that report failures (pylaxctl): the first
// write result that was not ResultOk, else ResultOk. With their needs unmet
// nothing is sent and ResultBadParameter is returned.
ModbusResult ResetEnergyWithResult();
ModbusResult SetClockFromWithResult(const struct tm& localTime);
ModbusResult SetClockFromPcWithResult();
