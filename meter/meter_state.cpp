#include "meter/meter_state.h"

// The names are references into the two objects, bound before any code runs.
constinit Meter g_pickedMeter;
constinit int& g_slaveAddress = g_pickedMeter.address;
constinit int& g_modelCode = g_pickedMeter.model;
constinit PollState g_pollState;
constinit bool& g_pollSuspended = g_pollState.suspended;
constinit int& g_okCount = g_pollState.ok;
constinit int& g_badCount = g_pollState.bad;
constinit ModbusResult& g_lastResult = g_pollState.lastResult;
constinit int16_t& g_subIntervalSeconds = g_pollState.subIntervalSeconds;
bool g_consoleStarted = false;

namespace {
// Register offsets within the reading block, row by row, for the columns
// "All", "A", "B", "C": the phase values follow the totals as three pairs each.
constexpr int kOffsets[kPhaseRows][kPhaseColumns] = {
    {2, 16, 18, 20},   // kW: KW, KW-A, KW-B, KW-C
    {8, 22, 24, 26},   // PF
    {10, 28, 30, 32},  // Volts L-L: VLL, V-AB, V-BC, V-AC
    {12, 34, 36, 38},  // Volts L-N
    {14, 40, 42, 44},  // Amps
};
}  // namespace

int g_phaseOffset[kPhaseRows] = {kOffsets[RowKw][0], kOffsets[RowPf][0], kOffsets[RowVoltsLL][0],
                                 kOffsets[RowVoltsLN][0], kOffsets[RowAmps][0]};

int PhaseOffset(PhaseRow row, int column) {
  if (row < 0 || row >= kPhaseRows) row = RowKw;
  if (column < 0 || column >= kPhaseColumns) column = 0;  // "All"
  return kOffsets[row][column];
}

void ResetMeterState() {
  g_pickedMeter = Meter{};
  g_pollState = PollState{};
  g_consoleStarted = false;
  for (int row = 0; row < kPhaseRows; ++row) g_phaseOffset[row] = kOffsets[row][0];
}
