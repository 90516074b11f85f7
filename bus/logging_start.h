#pragma once
// Setting up and restarting the meter's logging.

#include <cstdint>

#include "bus/status_log.h"
#include "meter/register_map.h"
#include "modbus/link.h"

// What the logging window keeps between its openings.
struct LogSetup {
  int16_t logSlots[reg::kSlotCount] = {};  // the slots as last read when the window opened
  int16_t logControl = 0;                  // our own copy of the control word; never read back
};

// What the user asked for: the members of the logging window.
struct LoggingSettings {
  unsigned slots[reg::kSlotCount] = {};
  unsigned subInterval = 0;
  int method = 0;  // 0 continuous, 1 one-shot
};

// Reads the ten slots (address 168) of the meter at slave into
// setup.logSlots; false (and the slots unchanged) when the read fails.
bool ReadLogSlots(ModbusLink& link, int slave, LogSetup& setup);
// The settings a newly opened logging window shows: the sub-interval the
// poll last read (PollState::subIntervalSeconds), setup.logSlots and bit 0
// of setup.logControl, 16-bit values sign-extended.
LoggingSettings CurrentLoggingSettings(int16_t subIntervalSeconds, const LogSetup& setup);

// Checks the slots and the sub-interval, then writes 16640 to 128, the ten
// slots to 168..177, setup.logControl to 158, the sub-interval to 149 and 0 to
// 157 of the meter at slave, stopping at the first failure. Every message
// goes through log.
// settings.method is normalised to 0 when it is neither 0 nor 1, and kept
// as bit 0 of setup.logControl.
// Returns true when all fourteen writes succeeded.
bool StartLogging(ModbusLink& link, int slave, LoggingSettings& settings, LogSetup& setup, StatusLog& log);
