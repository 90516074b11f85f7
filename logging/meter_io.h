#pragma once
// The reads and writes of the logging start and the download, to the picked
// meter (g_slaveAddress) over the open port. Each is a safe point of the
// StatusLog, and a stop asked for through it is looked at before each one:
// once it is asked, nothing more is sent and the call fails, so the
// operation ends there as on a failure.

#include "logging/status_log.h"

// True when the meter answered; values as ReadHoldingRegisters gives them.
bool ReadMeter(int firstAddress, int count, int* values, StatusLog& log);
// True when the meter acknowledged the write.
bool WriteMeter(int address, int value, StatusLog& log);
