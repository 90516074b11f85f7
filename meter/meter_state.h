#pragma once
// Process-wide state of the picked meter and the poll, shared by the console
// window, pylaxctl and the logging code. User-interface thread only.

#include <cstdint>
#include <string>

#include "modbus/result.h"

extern int g_slaveAddress;          // -1 for none
extern int g_modelCode;             // 0 none, 1 QM4A, 2 QM4B, 3 QM4C
extern bool g_pollSuspended;        // set while the logging window runs
extern int g_okCount;               // poll transactions that succeeded
extern int g_badCount;              // poll transactions that failed
extern ModbusResult g_lastResult;   // code of the last failed poll transaction
extern int16_t g_subIntervalSeconds;
extern bool g_consoleStarted;

// Phase rows, top to bottom, and their columns "All", "A", "B", "C".
enum PhaseRow { RowKw = 0, RowPf, RowVoltsLL, RowVoltsLN, RowAmps, kPhaseRows };
constexpr int kPhaseColumns = 4;
// Register offset within the reading block shown by each row; defaults
// kW 2, PF 8, Volts L-L 10, Volts L-N 12, Amps 14.
extern int g_phaseOffset[kPhaseRows];
// The offset a row's column selects (2, 16, 18, 20 for kW ...).
int PhaseOffset(PhaseRow row, int column);

// The meter a device line ("03 - Orvant QM4C ...") names: its model
// (ModelCodeFromText of the line) and its address, the line's leading number
// where it lies in 1..63 (the meters' own range; the scan itself takes
// whatever address answered), -1 otherwise.
struct DeviceLineMeter {
  int address;
  int model;
};
DeviceLineMeter MeterOfDeviceLine(const std::string& line);

// Puts every variable above back to its value at program start (tests).
void ResetMeterState();
