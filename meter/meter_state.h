#pragma once
// What the console's state is made of, Qt-free: the phase rows and the
// register each of their buttons shows, and the meter a device line names.
// The console's session (console/console_session.h) keeps the values.

#include <array>
#include <string>

#include "meter/meter.h"

// Phase rows, top to bottom, and their columns "All", "A", "B", "C".
enum PhaseRow { RowKw = 0, RowPf, RowVoltsLL, RowVoltsLN, RowAmps, kPhaseRows };
constexpr int kPhaseColumns = 4;
// Per row, the register offset within the reading block that the row shows.
using PhaseOffsets = std::array<int, kPhaseRows>;
// Every row's total: kW 2, PF 8, Volts L-L 10, Volts L-N 12, Amps 14; what
// the console shows at start, and all pylaxctl and the monitor show.
constexpr PhaseOffsets kRowTotals = {2, 8, 10, 12, 14};
// The offset a row's column selects (2, 16, 18, 20 for kW ...).
int PhaseOffset(PhaseRow row, int column);

// The meter a device line ("03 - Orvant QM4C ...") names: its model
// (ModelCodeFromText of the line) and its address, the line's leading number
// where it lies in 1..63 (the meters' own range; the scan itself takes
// whatever address answered), -1 otherwise.
Meter MeterOfDeviceLine(const std::string& line);
