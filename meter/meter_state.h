#pragma once
// The windows' process-wide state: the picked meter and what the console's
// poll keeps between its ticks, under the original program's names. The
// core functions take a meter and a poll state as parameters; the windows
// pass these. User-interface thread only.

#include <cstdint>

#include "meter/meter.h"
#include "modbus/result.h"

extern Meter g_pickedMeter;          // the meter the console shows
extern int& g_slaveAddress;          // g_pickedMeter.address: -1 for none
extern int& g_modelCode;             // g_pickedMeter.model: 0 none, 1 QM4A, 2 QM4B, 3 QM4C
extern PollState g_pollState;        // the console's poll
extern bool& g_pollSuspended;        // g_pollState.suspended: set while the logging window runs
extern int& g_okCount;               // g_pollState.ok: poll transactions that succeeded
extern int& g_badCount;              // g_pollState.bad: poll transactions that failed
extern ModbusResult& g_lastResult;   // g_pollState.lastResult: code of the last failed poll transaction
extern int16_t& g_subIntervalSeconds;
extern bool g_consoleStarted;

// Phase rows, top to bottom, and their columns "All", "A", "B", "C".
enum PhaseRow { RowKw = 0, RowPf, RowVoltsLL, RowVoltsLN, RowAmps, kPhaseRows };
constexpr int kPhaseColumns = 4;
// Register offset within the reading block shown by each row; defaults
// kW 2, PF 8, Volts L-L 10, Volts L-N 12, Amps 14.
extern int g_phaseOffset[kPhaseRows];
// The offset a row's column selects (2, 16, 18, 20 for kW ...).
int PhaseOffset(PhaseRow row, int column);

// Puts every variable above back to its value at program start (tests).
void ResetMeterState();
