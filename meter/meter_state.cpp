#include "meter/meter_state.h"

namespace {
// Register offsets within the reading block, row by row, for the columns
// "All", "A", "B", "C": the phase values follow the totals as three pairs each.
constexpr int kOffsets[kPhaseRows][kPhaseColumns] = {
    {kRowTotals[RowKw], 16, 18, 20},       // kW: KW, KW-A, KW-B, KW-C
    {kRowTotals[RowPf], 22, 24, 26},       // PF
    {kRowTotals[RowVoltsLL], 28, 30, 32},  // Volts L-L: VLL, V-AB, V-BC, V-AC
    {kRowTotals[RowVoltsLN], 34, 36, 38},  // Volts L-N
    {kRowTotals[RowAmps], 40, 42, 44},     // Amps
};
}  // namespace

int PhaseOffset(PhaseRow row, int column) {
  if (row < 0 || row >= kPhaseRows) row = RowKw;
  if (column < 0 || column >= kPhaseColumns) column = 0;  // "All"
  return kOffsets[row][column];
}
