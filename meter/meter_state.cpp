#include "meter/meter_state.h"

#include <cerrno>
#include <cstdlib>

#include "modbus/model.h"

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

Meter MeterOfDeviceLine(const std::string& line) {
  constexpr long kFirstSelectableAddress = 1;
  constexpr long kLastSelectableAddress = 63;
  Meter meter{-1, ModelCodeFromText(line.c_str())};
  const char* start = line.c_str();
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(start, &end, 10);
  if (end != start && errno != ERANGE && value >= kFirstSelectableAddress && value <= kLastSelectableAddress)
    meter.address = static_cast<int>(value);
  return meter;
}
