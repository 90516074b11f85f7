// The console's phase rows: which pair of the reading block each of the
// twenty buttons shows, and what a fresh start shows.
#include "meter/meter_state.h"

#include <gtest/gtest.h>

#include "meter/register_map.h"

namespace {

struct PhaseCell {
  PhaseRow row;
  int column;  // 0 "All", 1 "A", 2 "B", 3 "C"
  int offset;  // registers from address 258
  const char* label;  // of the quantity at that offset
};

constexpr PhaseCell kCells[] = {
    {RowKw, 0, 2, "KW"},          {RowKw, 1, 16, "KW-A"},       {RowKw, 2, 18, "KW-B"},
    {RowKw, 3, 20, "KW-C"},       {RowPf, 0, 8, "PF"},          {RowPf, 1, 22, "PF-A"},
    {RowPf, 2, 24, "PF-B"},       {RowPf, 3, 26, "PF-C"},       {RowVoltsLL, 0, 10, "VLL"},
    {RowVoltsLL, 1, 28, "V-AB"},  {RowVoltsLL, 2, 30, "V-BC"},  {RowVoltsLL, 3, 32, "V-AC"},
    {RowVoltsLN, 0, 12, "VLN"},   {RowVoltsLN, 1, 34, "V-AN"},  {RowVoltsLN, 2, 36, "V-BN"},
    {RowVoltsLN, 3, 38, "V-CN"},  {RowAmps, 0, 14, "AMPS-AVG"}, {RowAmps, 1, 40, "AMPS-A"},
    {RowAmps, 2, 42, "AMPS-B"},   {RowAmps, 3, 44, "AMPS-C"},
};

TEST(PhaseRows, EachButtonShowsItsOwnPairOfTheReadingBlock) {
  for (const PhaseCell& cell : kCells) {
    EXPECT_EQ(PhaseOffset(cell.row, cell.column), cell.offset) << "row " << cell.row << ", column " << cell.column;
    // The pair at address 258 + offset is register numbers 259 + offset and
    // 260 + offset: the label says which quantity the button shows.
    EXPECT_STREQ(RegisterLabel(reg::kReadingBlock + 1 + cell.offset), cell.label) << "offset " << cell.offset;
  }
}

// At start every row shows its total: kW 2, PF 8, Volts L-L 10, Volts L-N
// 12, Amps 14, the "All" button of each row.
TEST(PhaseRows, AFreshStartShowsEveryRowsTotal) {
  const PhaseOffsets totals = {2, 8, 10, 12, 14};
  EXPECT_EQ(kRowTotals, totals);
  for (int row = 0; row < kPhaseRows; ++row) EXPECT_EQ(PhaseOffset(static_cast<PhaseRow>(row), 0), totals[row]) << row;
}

}  // namespace
