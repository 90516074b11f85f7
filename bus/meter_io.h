#pragma once
// The reads and writes of the logging start, the download and the archive's
// sync, to the meter at slave over link. Each is a safe point of the
// StatusLog, and a stop asked for through it is looked at before each one:
// once it is asked, nothing more is sent and the call fails, so the
// operation ends there as on a failure.

#include "bus/status_log.h"
#include "modbus/link.h"

// True when the meter answered; values as ReadHoldingRegisters gives them.
bool ReadMeter(ModbusLink& link, int slave, int firstAddress, int count, int* values, StatusLog& log);
// True when the meter acknowledged the write.
bool WriteMeter(ModbusLink& link, int slave, int address, int value, StatusLog& log);
