// What the plot draws of a column: its rows with their gaps and lone dots
// while they are few, a band of each slice's range around its mean when many;
// and which columns lie on another.

#include "charts/plot_series.h"

#include <gtest/gtest.h>

#include <cmath>
#include <iterator>

namespace {
// A table of one column, rows given oldest first (the file has them newest first).
LogTable TableOf(const std::vector<int64_t>& times, const std::vector<float>& values) {
  LogTable table;
  table.times.assign(times.rbegin(), times.rend());
  LogColumn column;
  column.values.assign(values.rbegin(), values.rend());
  table.columns.push_back(column);
  return table;
}

// NaN written as -999, so vectors compare with ==.
std::vector<double> Shown(const std::vector<double>& values) {
  std::vector<double> shown;
  for (double value : values) shown.push_back(std::isnan(value) ? -999 : value);
  return shown;
}
}  // namespace

TEST(PlotSeries, RowsAsTheyAreWhileFewABandOfEachSliceWhenMany) {
  const double gap = -999;
  struct Case {
    const char* what;
    std::vector<int64_t> times;
    std::vector<float> values;
    double from, to;
    int slices;
    std::vector<double> lineTimes, lineValues, lows, highs, dotTimes;
  };
  const Case cases[] = {
      {"one row", {1000}, {5}, 400, 1600, 100, {1000}, {5}, {}, {}, {1000}},
      {"gaps leave lone dots", {0, 10, 20, 30, 40, 50}, {1, NAN, 3, 4, NAN, 6}, 0, 50, 100,
       {0, 10, 20, 30, 40, 50}, {1, gap, 3, 4, gap, 6}, {}, {}, {0, 50}},
      {"a part, with the rows either side", {0, 10, 20, 30, 40, 50}, {1, NAN, 3, 4, NAN, 6}, 15, 35, 100,
       {10, 20, 30, 40}, {gap, 3, 4, gap}, {}, {}, {}},
      {"two rows a slice are still rows", {0, 10, 20, 30, 40, 50}, {1, 2, 3, 4, 5, 6}, 0, 60, 3,
       {0, 10, 20, 30, 40, 50}, {1, 2, 3, 4, 5, 6}, {}, {}, {}},
      // Slices of 40 s: 0..30, 40..70 (nothing read), 80..120 (the end's row in the last).
      {"a band", {0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120},
       {4, 1, 7, 2, NAN, NAN, NAN, NAN, 10, 12, 11, 9, 13}, 0, 120, 3,
       {20, 60, 100}, {3.5, gap, 11}, {1, gap, 9}, {7, gap, 13}, {20, 100}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const LogTable table = TableOf(c.times, c.values);
    const ColumnPicture picture = PictureOf(table, RowsByTime(table), table.columns[0], c.from, c.to, c.slices);
    EXPECT_EQ(picture.times, c.lineTimes);
    EXPECT_EQ(Shown(picture.values), c.lineValues);
    EXPECT_EQ(Shown(picture.lows), c.lows);
    EXPECT_EQ(Shown(picture.highs), c.highs);
    EXPECT_EQ(picture.dotTimes, c.dotTimes);
  }
}

TEST(PlotSeries, RowsByTimeAndColumnsThatCoincide) {
  LogTable table;
  table.times = {30, -1, 10, 20};
  EXPECT_EQ(RowsByTime(table), (std::vector<int>{2, 3, 0}));

  // A line within a hundredth of the pair's span (here 1 .. 4: 0.03) of an
  // earlier one of its kind hides under it.
  using K = ColumnKind;
  struct Case {
    ColumnKind kind;
    std::vector<float> values;
    int under;
    bool exact;
  };
  const Case cases[] = {
      {K::Power, {1, 2, NAN, 4}, -1, false},
      {K::Power, {1, 2, NAN, 4}, 0, true},
      {K::Power, {1, 2, 3, 4}, -1, false},        // a value where the others are empty
      {K::PowerFactor, {1, 2, NAN, 4}, -1, false},  // another chart
      {K::Power, {1.02f, 2, NAN, 4}, 0, false},
      {K::Power, {1.04f, 2, NAN, 4}, 4, false},   // 0.04 from the first, 0.02 from the last
      {K::PowerFactor, {1, 2, NAN, 4}, 3, true},
  };
  table.columns.clear();
  for (const Case& c : cases) {
    LogColumn column;
    column.kind = c.kind;
    column.values = c.values;
    table.columns.push_back(column);
  }
  const std::vector<Coinciding> coinciding = CoincidingColumns(table);
  ASSERT_EQ(coinciding.size(), std::size(cases));
  for (size_t c = 0; c < std::size(cases); ++c) {
    SCOPED_TRACE(c);
    EXPECT_EQ(coinciding[c].under, cases[c].under);
    EXPECT_EQ(coinciding[c].exact, cases[c].exact);
  }
}
